// The two name lists of a repair run: a growable array of fixed-size records
// (OT_Array) and the records it holds, one per row of the source's TABLES
// schema (Mdb_Tab_Stru) and one per row of its INDEXES schema, that is one per
// indexed column (Mdb_Index_Stru).
//
// Records are plain bytes: they move with a byte copy when the array grows and
// are not zeroed when allocated. A pointer returned by At stays valid only
// until the next At that grows the array.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

constexpr int MDB_TAB_TYPE_SIZE = 60;  // tab_type, with its terminator
constexpr int MDB_NAME_SIZE = 80;      // every name field, with its terminator

struct Mdb_Tab_Stru {
    char tab_type[MDB_TAB_TYPE_SIZE];
    char tab_name[MDB_NAME_SIZE];
};

struct Mdb_Index_Stru {
    char tab_name[MDB_NAME_SIZE];
    char index_name[MDB_NAME_SIZE];
    char column_name[MDB_NAME_SIZE];
    int is_unique;
    int is_primary;
    int is_done;
};

template <typename T>
class OT_Array {
    static_assert(std::is_trivially_copyable_v<T>, "records of OT_Array move as bytes");

  public:
    T* data;
    int capacity;
    int grow_by;
    int init_size;
    int count;

    OT_Array(int initial_size, int growth_step)
        : data(nullptr),
          capacity(0),
          grow_by(growth_step > 0 ? growth_step : 20),
          init_size(initial_size > 0 ? initial_size : 30),
          count(0) {}
    OT_Array(const OT_Array&) = delete;
    OT_Array& operator=(const OT_Array&) = delete;
    virtual ~OT_Array() { Clear(); }

    // Called once for every slot a growth allocates; records need nothing.
    virtual int Init_Elem(T* array, T* record) {
        (void)array;
        (void)record;
        return 1;
    }

    // The record at index i (a negative index means 0), growing the array when
    // i lies beyond it; At(count) appends. Returns null, with the array
    // unchanged, when the block cannot be allocated or its size would not fit
    // an int.
    T* At(int i) {
        if (i < 0) i = 0;
        if (i < capacity) {
            if (i >= count) count = i + 1;
            return data + i;
        }
        if (i > INT_MAX - grow_by) return nullptr;
        int new_capacity = i + grow_by;
        if (new_capacity < init_size) new_capacity = init_size;
        if (static_cast<unsigned long long>(new_capacity) * sizeof(T) > SIZE_MAX) return nullptr;
        T* block = static_cast<T*>(std::malloc(static_cast<std::size_t>(new_capacity) * sizeof(T)));
        if (block == nullptr) return nullptr;
        if (data != nullptr) {
            std::memcpy(block, data, static_cast<std::size_t>(capacity) * sizeof(T));
            std::free(data);
        }
        int old_capacity = capacity;
        data = block;
        capacity = new_capacity;
        for (int k = old_capacity; k < new_capacity; ++k) Init_Elem(data, data + k);
        count = i + 1;
        return data + i;
    }

    int Clear() {
        std::free(data);
        data = nullptr;
        capacity = 0;
        count = 0;
        return 1;
    }
};
