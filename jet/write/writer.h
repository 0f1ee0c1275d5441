// The database writer: tables, rows, long values, usage maps and indexes of
// a Jet 4 or ACE file this engine creates (docs/jet-writer.md, docs/jet-ace.md).
//
// The writer owns the file it created (create_database) and keeps, for each
// table it manages, what it needs to append rows without reading them back:
// the column layout, the page it is filling, its usage maps and, once a
// change needs them, the entries of its indexes. Rows stream to disk a page at a time; the table
// definitions, usage maps, index B-trees and catalog indexes are written by
// flush(), which close() calls. All page writes go through PageWriter.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jet/base/format.h"
#include "jet/base/sort_general.h"
#include "jet/txn/journal.h"
#include "jet/base/value.h"
#include "jet/write/format.h"
#include "jet/write/pager.h"

namespace jet {

namespace write {
class IndexEntrySorter;
}

class Database;
struct CatalogEntry;
struct Column;
struct TableDef;

struct ColumnSpec {
    std::string name;
    ColumnType type = ColumnType::kText;
    std::uint16_t size = 0;  // Text: characters (1..255, 0 = 255); Binary: bytes (0 = 255)
    std::uint8_t precision = 18;  // Numeric
    std::uint8_t scale = 0;       // Numeric
    bool autonumber = false;      // Long: counter; Replication ID: generated GUID
    bool compressed = true;       // Text/Memo: Unicode compression
    bool hyperlink = false;       // Memo
    bool required = false;
    // Text: stored in the row's fixed area at its full size, values padded
    // with blanks (a column without the variable-length bit).
    bool fixed_length = false;
    // Catalog tables only: column id when it differs from the position, and
    // flag bits Access sets on system columns.
    int number = -1;
    std::uint8_t extra_flags = 0;

    // ACE files only.
    // Text/Memo: the sort order and its version in the column's descriptor;
    // 0 and -1 take the database's (CreateOptions). Keys of the column's
    // indexes follow that version.
    std::uint16_t sort_order = 0;
    int sort_order_version = -1;
    // Complex (0x12): the column's ComplexID (its MSysComplexColumns row).
    // A row holds the complex value id, an int32_t, or Null.
    std::uint32_t complex_id = 0;
    // A calculated column (extra flags 0xC0): its value is stored in the
    // calculated wrapper (16 zero bytes, int32 length, the value's bytes,
    // 3 zero bytes), as a variable column whatever `type` is, and as a long
    // value when `type` is Memo or OLE or a Text of definition length 0.
    // A row gives the value in `result_type` (ColumnType{} = `type`, the
    // ResultType property the caller writes), or Bytes: the data inside the
    // wrapper as stored. insert_fields takes a kValue or kStored field (the
    // whole wrapper, a long one's content for a Memo result); units or a
    // stream are refused.
    bool calculated = false;
    ColumnType result_type{};
    // A type of fixed width (not Boolean) kept as a variable column, as
    // ACE's flat tables and complex type templates keep theirs: its usual
    // bytes in the row's variable part.
    bool variable_length = false;
    // The definition's length in bytes of a calculated column (unset: 39
    // for the fixed types, two per character for Text, 0 for Memo and OLE)
    // or of a `variable_length` column (unset: the type's width; Access
    // gives a Numeric one 9).
    std::optional<std::uint16_t> calculated_length{};
    // Bits of the descriptor's extra flags (byte 16) besides Unicode
    // compression (0x01, `compressed`) and calculated (0xC0, `calculated`),
    // as a source has them (0x20 on an append-only memo's history column).
    std::uint8_t more_extra_flags = 0;
};

// Gives `column` the ACE parts of a source column's design as its definition
// holds them: sort order and version (Text/Memo), complex id, calculated
// (result type, definition length, precision byte as stored),
// variable-length fixed types and the other extra-flag bits. A Complex
// column's counter bit is the writer's own (autonumber stays false).
// Leaves the rest of `column` as it is. Meant for the columns of an ACE
// source (a Jet 3 column's descriptor bytes mean other things).
void set_ace_design(ColumnSpec& column, const Column& source);

struct IndexColumnSpec {
    std::string column;
    bool descending = false;
};

struct IndexSpec {
    std::string name;
    std::vector<IndexColumnSpec> columns;
    bool primary_key = false;  // implies unique and required
    bool unique = false;
    bool ignore_nulls = false;
    bool required = false;
};

// One side of a relationship, as Jet keeps it in a table's definition: a
// logical index on the columns of this side (the referenced key, or the
// foreign key) that names the other table's index of the same relationship.
// It shares the B-tree of an index on the same columns when the table has
// one; otherwise a B-tree is built for it (`unique`, `ignore_nulls`,
// `required` say how).
struct RelationshipIndexSpec {
    std::string name;
    std::vector<IndexColumnSpec> columns;
    bool referenced_side = false;  // false: this table holds the foreign key
    std::string other_table;
    std::string other_index;
    bool cascade_updates = false;
    bool cascade_deletes = false;
    bool unique = false;
    bool ignore_nulls = false;
    bool required = false;
};

struct TableSpec {
    std::string name;
    std::vector<ColumnSpec> columns;  // in the order the table shows them
    // ACE: the last complex value id handed out (the definition's complex
    // autonumber); a row with a larger id in a Complex column raises it.
    std::uint32_t complex_autonumber = 0;
};

// One field for DatabaseWriter::insert_fields: a Value, or the field close to
// its stored form, so that a copy between Jet 4 files neither decodes nor
// re-encodes it. The spans must stay valid during the call.
struct FieldInput {
    // Receives the bytes of a long value piece by piece.
    using Sink = std::function<void(std::span<const std::uint8_t>)>;
    enum class Kind : std::uint8_t {
        kNull,
        kValue,    // `value`, encoded as insert_row encodes it
        kBoolean,  // `flag`
        kStored,   // `bytes` as stored: a fixed column's bytes (its exact width),
                   // a Binary value, or an OLE value whole
        kUnits,    // `bytes`: a Text or Memo as UTF-16 little-endian code units,
                   // compressed as the column says
        kStream,   // a Memo (UTF-16 little-endian units, stored uncompressed) or
                   // OLE value that `stream` hands to the sink piece by piece;
                   // it goes to long-value pages as it comes, never held whole
    };
    Kind kind = Kind::kNull;
    bool flag = false;
    const Value* value = nullptr;
    std::span<const std::uint8_t> bytes;
    std::function<void(const Sink&)> stream;
};

// Opaque handle of a table the writer manages.
using TableHandle = std::size_t;

struct CreateOptions {
    std::string password;        // empty = none
    double creation_date = -1;   // days since 1899-12-30; < 0 = now
    // Non-zero: the file is RC4-encoded with this database key (every page
    // but the header, see rc4_page), as "Encrypt Database" leaves a file.
    std::uint32_t database_key = 0;
    // The file's version: Jet 4, or ACE12 ... ACE17 (Access 2007 and later,
    // the same page layout). An ACE file takes no password here: it is
    // protected by encrypting the finished file (encrypt_ace_file).
    FileVersion version = FileVersion::kJet4;
    // The General sort order (1033) in the header and every text column;
    // ACE files also record its version (header byte 0x71): General legacy
    // (0) or General (1), which text index keys follow.
    std::uint16_t sort_order = 1033;
    SortOrderVersion sort_order_version = SortOrderVersion::kGeneralLegacy;
};

class DatabaseWriter {
public:
    // Creates an empty Jet 4 database at `path` (see create_database.h).
    static std::unique_ptr<DatabaseWriter> create(const std::string& path,
                                                  const CreateOptions& options = {});
    // Opens an EXISTING Jet 4 or ACE database (General sort order, either
    // version; not an encrypted ACE file) for writing in
    // place and loads the state of every table, catalog tables included:
    // layout, usage maps, data and long-value pages, row count and
    // autonumber; index entries stay on their pages until a change needs
    // them. A rollback journal left by a crash is played back first, so the
    // caller must hold the write lock (txn_lock.h).
    //
    // Before anything is written the writer proves that flush() would write
    // every page it owns back unchanged (a dry run compared with the disk;
    // each index B-tree is rebuilt from the rows' keys over its own pages).
    // A file with structures it would not reproduce byte for byte (shared
    // usage-map pages, logical indexes numbered otherwise than this writer
    // numbers them, foreign index layouts, Jet 3) is refused with a
    // jet::Error and left untouched. Relationships this writer wrote load.
    static std::unique_ptr<DatabaseWriter> open(const std::string& path,
                                                std::string_view password);
    ~DatabaseWriter();
    DatabaseWriter(const DatabaseWriter&) = delete;
    DatabaseWriter& operator=(const DatabaseWriter&) = delete;

    const std::string& path() const { return pager_.path(); }
    FileVersion version() const { return version_; }
    std::uint16_t sort_order() const { return sort_order_; }
    SortOrderVersion sort_order_version() const { return sort_order_version_; }
    double creation_date() const { return creation_date_; }
    // The database key the file's pages are encoded with (0 = plain).
    std::uint32_t database_key() const { return pager_.page_key(); }

    // Adds a user table and its catalog row. Names are checked as Jet checks
    // them (1..64 characters, unique case-insensitively, no . ! ` [ ]).
    TableHandle create_table(const TableSpec& layout);
    // A table this writer manages, by name (case-insensitive); throws if none.
    TableHandle table(std::string_view name) const;
    std::vector<std::string> table_names() const;  // user tables, in creation order
    const TableSpec& table_spec(TableHandle table) const;
    // The indexes of a table, in the order they were made.
    std::vector<IndexSpec> index_layouts(TableHandle table) const;
    // The table's catalog Id (the page of its definition).
    std::int32_t table_id(TableHandle table) const;
    std::uint32_t row_count(TableHandle table) const;

    // Inserts one row; `values` in the layout's column order. A Null in an
    // autonumber column takes the next number. Fails, changing nothing, on a
    // value of the wrong type, a text too long, a row too large, or a
    // duplicate key in a unique index. Returns where the row is.
    RowId insert_row(TableHandle table, std::span<const Value> values);
    // Inserts one row given as fields (the fast path of a table copy). The
    // table must have no index and no autonumber column (a copy's new
    // table); otherwise as insert_row.
    RowId insert_fields(TableHandle table, std::span<const FieldInput> fields);
    // Replaces the row at `id`; returns its place afterwards (a row that no
    // longer fits its page moves).
    RowId update_row(TableHandle table, RowId id, std::span<const Value> values);
    void delete_row(TableHandle table, RowId id);

    // Creates an index over the rows the table holds now and keeps it
    // current afterwards. A duplicate key under `unique` fails with an error
    // and leaves no index behind.
    void create_index(TableHandle table, const IndexSpec& layout);
    // Creates indexes of one table as create_index would, one after the
    // other in list order, with one read of the table's rows for all of
    // them (only the key columns of each row are decoded). The result has
    // one slot per layout: empty for an index made, else the error
    // create_index would have thrown for it (nothing of that index is
    // left); one that fails does not stop the others. `before(k)`, when
    // given, runs just before layout k is checked and made, when every
    // earlier one is done (their slots of `done` are final); it may amend
    // layouts[k] or throw to fail it.
    using BeforeIndex = std::function<void(std::size_t k, const std::vector<std::exception_ptr>& done)>;
    std::vector<std::exception_ptr> create_indexes(TableHandle table, std::vector<IndexSpec>& layouts,
                                                   const BeforeIndex& before = {});
    // Adds one side of a relationship (see RelationshipIndexSpec). The other
    // side is added by a second call on the other table; until then the
    // index names no table. The writer keeps the logical index but does not
    // check the rows against the other table.
    void add_relationship_index(TableHandle table, const RelationshipIndexSpec& side);

    // Bytes an index build may hold in memory before it spills sorted runs
    // to temporary files in the database's folder (default 64 MB).
    void set_index_sort_budget(std::size_t bytes) { index_sort_budget_ = bytes; }
    // Sorted runs the last create_index spilled (0: it sorted in memory).
    std::size_t last_index_runs() const { return last_index_runs_; }
    // True when the last create_index took its keys from the tree of an
    // index just dropped on the same columns instead of reading the rows.
    bool last_index_from_dropped_tree() const { return last_index_from_dropped_; }

    // Where the MSysObjects row with this Id is, if there is one.
    std::optional<RowId> catalog_row(std::int32_t id);

    // Removes a user table: its catalog row, and its definition, data,
    // long-value and index pages become free pages. Handles of the tables
    // after it change: look them up again by name.
    void drop_table(TableHandle table);
    // Removes one index of a table (its pages become free pages).
    void drop_index(TableHandle table, std::string_view index_name);

    // Gives a column the design flags of `design` where its stored bytes
    // stay as they are: autonumber, required, Unicode compression, hyperlink
    // and the other flag bits (extra_flags). The name, type, size, fixed
    // length, precision and scale of `design` must be the column's own;
    // anything else throws and changes nothing.
    void alter_column(TableHandle table, std::string_view column, const ColumnSpec& design);
    // The table's autonumber counter: the last number handed out, so the
    // next row without a number gets counter + 1.
    std::uint32_t autonumber(TableHandle table) const;
    void set_autonumber(TableHandle table, std::uint32_t counter);
    // ACE: the table's complex value counter (TableSpec::complex_autonumber).
    std::uint32_t complex_autonumber(TableHandle table) const;
    void set_complex_autonumber(TableHandle table, std::uint32_t counter);
    // Renames a user table (its catalog row); throws when the name is taken
    // or not valid.
    void rename_table(TableHandle table, std::string_view name);

    // A transaction in place: begin() flushes, then starts the rollback
    // journal of the file; every later overwrite of a page that existed at
    // begin() saves the original image (synced) first. commit() flushes,
    // syncs and deletes the journal (the commit point). roll_back() puts
    // the original pages back and closes the writer: its state is the
    // transaction's, so open the file again to go on.
    // Outside a transaction an opened writer changes the file without a
    // journal, as a new file is written: use one where a crash matters.
    void begin();
    void commit();
    void roll_back();
    bool in_transaction() const { return journal_ != nullptr; }
    // Test hook (see PageWriter::set_write_observer).
    void set_write_observer(PageWriter::WriteObserver observer) {
        pager_.set_write_observer(std::move(observer));
    }

    // Writes the table definitions, usage maps, indexes and the header, and
    // syncs the file. The database is complete after every flush.
    void flush();
    // flush() and close the file. The destructor closes too, swallowing errors.
    void close();

private:
    DatabaseWriter();
    struct Table;
    struct LongColumn;
    struct IndexState;
    struct IndexLink;
    struct MapRef;

    TableHandle add_table(const TableSpec& layout, bool system, std::uint32_t tdef_page,
                          bool with_maps = true);
    void place_column(const ColumnSpec& c, write::TdefColumn& w, bool system, std::uint16_t& fixed,
                      std::uint16_t& var) const;
    void set_column_flags(const ColumnSpec& c, write::TdefColumn& w, bool system) const;
    void load_tables(const std::string& password);
    void load_table(Database& db, const CatalogEntry& entry);
    void load_indexes(Table& t, const TableDef& def, const std::vector<std::size_t>& column_position);
    // Index trees this process already proved in the file as it is now:
    // first page -> entries (see load_tables).
    std::map<std::uint32_t, std::uint32_t> proven_roots_;
    void load_long_value_maps(Table& t, const write::Bytes& definition, const std::string& table);
    void prove_index_trees(Database& db, const TableDef& def, Table& t,
                           const std::vector<std::size_t>& column_position);
    MapRef load_map(std::uint32_t pointer, std::vector<std::uint32_t>& pages);
    std::uint32_t allocate_page();
    MapRef new_map();
    void write_map(MapRef& map, std::vector<std::uint32_t> pages);
    write::Bytes encode_row(Table& t, std::span<const Value> values);
    write::Bytes encode_fields(Table& t, std::span<const FieldInput> fields);
    struct RowScratch;
    void encode_fixed_field(const Table& t, std::size_t column, const FieldInput& f, RowScratch& s);
    void encode_variable_field(const Table& t, std::size_t column, const FieldInput& f,
                               RowScratch& s);
    std::size_t store_long_values(Table& t, std::span<const FieldInput> fields, RowScratch& s);
    static write::Bytes assemble_row(const Table& t, RowScratch& s, std::size_t size);
    void encode_fixed_value(const Table& t, std::size_t column, const Value& v, write::Bytes& out);
    static void pad_fixed_text(write::Bytes& units, std::size_t width);
    void encode_calculated(const Table& t, std::size_t column, const FieldInput& f,
                           write::Bytes& out);
    write::Bytes store_long_value(Table& t, std::size_t column,
                                  std::span<const std::uint8_t> data, bool allow_inline);
    void open_long_value_page(LongColumn& lc, std::uint32_t page,
                              std::vector<write::RowSlotImage> rows);
    void place_long_value_row(LongColumn& lc, std::size_t size);
    write::Bytes store_long_value_stream(Table& t, std::size_t column,
                                         const std::function<void(const FieldInput::Sink&)>& stream);
    RowId place_row(Table& t, write::Bytes row);
    std::vector<write::RowSlotImage> load_page(Table& t, std::uint32_t page);
    void store_page(Table& t, std::uint32_t page, const std::vector<write::RowSlotImage>& rows);
    write::Bytes index_key(const Table& t, const IndexState& ix, std::span<const Value> values);
    void check_unique(const Table& t, std::span<const Value> values, const RowId* ignore);
    void add_index_entries(Table& t, std::span<const Value> values, RowId id);
    void remove_index_entries(Table& t, RowId id);
    void write_index(Table& t, IndexState& ix);
    std::unique_ptr<IndexState> prepare_index(Table& t, const IndexSpec& layout);
    struct KeyTarget;
    void collect_keys(TableHandle table, std::vector<KeyTarget>& targets);
    void finish_index(TableHandle table, std::unique_ptr<IndexState> ix,
                      write::IndexEntrySorter& sorter, bool flushed);
    bool keys_from_dropped(Table& t, const IndexState& ix, write::IndexEntrySorter& sorter);
    void load_index_entries(const Table& t, IndexState& ix);
    void write_tdef(Table& t);
    void link_loaded_indexes();
    bool in_relationship(const Table& t) const;
    static void order_indexes(Table& t);
    void flush_table(Table& t);
    void add_catalog_row(const std::string& name, std::int32_t id, std::int32_t parent,
                         std::int16_t type, std::int32_t flags, const write::Bytes& owner);

    PageWriter pager_;
    FileVersion version_ = FileVersion::kJet4;
    std::uint16_t sort_order_ = 1033;
    SortOrderVersion sort_order_version_ = SortOrderVersion::kGeneralLegacy;
    double creation_date_ = 0;
    std::string password_;
    std::vector<std::unique_ptr<Table>> tables_;
    std::set<std::uint32_t> free_pages_;  // pages given back (rebuilt indexes), taken lowest first
    // Usage-map rows live on owner-0 data pages, kept here until flush.
    std::vector<std::pair<std::uint32_t, std::vector<write::RowSlotImage>>> map_page_rows_;
    bool closed_ = false;
    std::unique_ptr<RollbackJournal> journal_;
    std::size_t index_sort_budget_ = std::size_t{64} << 20;
    std::size_t last_index_runs_ = 0;
    bool last_index_from_dropped_ = false;
    // Trees of indexes dropped since the last flush, still on their pages
    // (given back, not yet written over): a new index on the same columns
    // of the same table, unchanged since, takes its keys from them (see
    // keys_from_dropped). Flush, page allocation and row changes forget them.
    struct DroppedTree {
        const Table* table = nullptr;
        std::vector<std::pair<std::size_t, bool>> columns;
        std::uint8_t flags = 0;
        std::uint32_t first_page = 0;
        std::uint32_t entries = 0;
    };
    std::vector<DroppedTree> dropped_trees_;
    // Buffers of the row encoder, kept between rows.
    std::unique_ptr<RowScratch> scratch_;

};

}  // namespace jet
