// The database writer (see writer.h): construction, table layout,
// flushing, opening an existing file and transactions in place. Rows,
// long values, usage maps and indexes have files of their own
// (writer_*.cpp), sharing writer_internal.h.
//
// Layout decisions that readers depend on:
// - rows of a page are contiguous from the page end; a deleted row keeps its
//   slot (flags 0xC000) with no bytes, so every later row still ends where
//   the previous one starts;
// - a table's usage map lists only its data pages; the long-value pages of a
//   memo/OLE column are listed in that column's own map (the list at the end
//   of the TDEF), because readers check the owner of every page in the
//   table's map;
// - index B-trees are rebuilt from the sorted entries at every flush, so
//   they hold no half-split pages and no shared prefixes.
#include "jet/write/writer_internal.h"

#include <sys/stat.h>

#include <map>
#include <mutex>

namespace jet {

using namespace writer_detail;

// ---- construction -------------------------------------------------------------

DatabaseWriter::DatabaseWriter() = default;

DatabaseWriter::~DatabaseWriter() {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; close() explicitly to see errors.
    }
}

std::uint32_t DatabaseWriter::allocate_page() {
    dropped_trees_.clear();  // the page may be one of theirs, about to be written
    if (!free_pages_.empty()) {
        // The lowest page first, so that an index rebuilt over pages given
        // back lies on ascending pages, as a reopened file is proven to be
        // laid out.
        std::uint32_t p = *free_pages_.begin();
        free_pages_.erase(free_pages_.begin());
        return p;
    }
    return pager_.allocate();
}

TableHandle DatabaseWriter::add_table(const TableSpec& layout, bool system, std::uint32_t tdef_page,
                                      bool with_maps) {
    if (layout.columns.empty()) throw Error("Table '" + layout.name + "' has no columns.");
    if (layout.columns.size() > 255) throw Error("Too many fields defined.");
    auto t = std::make_unique<Table>();
    t->layout = layout;
    t->system = system;
    t->tdef_page = tdef_page ? tdef_page : allocate_page();
    t->tdef_pages = {t->tdef_page};
    // Column ids, then fixed offsets and variable slots in id order.
    std::vector<std::size_t> order(layout.columns.size());
    for (std::size_t i = 0; i < layout.columns.size(); ++i) {
        order[i] = i;
        auto& c = t->layout.columns[i];
        if (c.number < 0) c.number = static_cast<int>(i);
        if (!system) check_object_name(c.name, "field");
        for (std::size_t k = 0; k < i; ++k) {
            if (same_name(layout.columns[k].name, c.name)) {
                throw Error("Field '" + c.name + "' is defined more than once.");
            }
        }
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return t->layout.columns[a].number < t->layout.columns[b].number;
    });
    t->columns.resize(layout.columns.size());
    t->long_of_column.assign(layout.columns.size(), -1);
    std::uint16_t fixed = 0, var = 0;
    for (std::size_t i : order) {
        const ColumnSpec& c = t->layout.columns[i];
        write::TdefColumn& w = t->columns[i];
        w.name = c.name;
        w.type = static_cast<std::uint8_t>(c.type);
        w.number = static_cast<std::uint16_t>(c.number);
        // A required column is recorded by leaving out the nullable flag (the
        // callers check nulls against it; a copy keeps what the source had).
        w.flags = static_cast<std::uint8_t>((c.required ? 0 : kColumnNullable) | c.extra_flags);
        place_column(c, w, system, fixed, var);
        set_column_flags(c, w, system);
    }
    t->fixed_size = fixed;
    t->var_count = var;
    if (with_maps) {
        t->used = new_map();
        t->free = new_map();
    }
    for (std::size_t i : order) {
        if (stores_long_value(t->layout.columns[i], t->columns[i])) {
            LongColumn lc;
            lc.column = i;
            if (with_maps) {
                lc.used = new_map();
                lc.free = new_map();
            }
            t->long_of_column[i] = static_cast<int>(t->longs.size());
            t->longs.push_back(std::move(lc));
        }
    }
    tables_.push_back(std::move(t));
    return tables_.size() - 1;
}

// Where a column's value is stored: its length, and its offset in the fixed
// area or its slot among the variable fields (FIXED and VAR count both up).
void DatabaseWriter::place_column(const ColumnSpec& c, write::TdefColumn& w, bool system,
                                  std::uint16_t& fixed, std::uint16_t& var) const {
    const bool fixed_text = c.type == ColumnType::kText && c.fixed_length;
    if (c.fixed_length && !fixed_text) {
        throw Error("Only Text fields can have a fixed length ('" + c.name + "').");
    }
    if (c.calculated) {
        // Stored in its wrapper as a variable column, whatever its type.
        w.var_index = var++;
        if (c.calculated_length) {
            w.length = *c.calculated_length;
        } else if (c.type == ColumnType::kText) {
            w.length = text_bytes(c);
        } else if (!is_long_type(c.type)) {
            w.length = kCalculatedLength;
        }
    } else if (c.variable_length && is_fixed_type(c.type) && c.type != ColumnType::kBoolean) {
        w.var_index = var++;
        w.length = c.calculated_length ? *c.calculated_length : fixed_length(c.type);
    } else if (!is_known_column_type(w.type) && c.size > 0) {
        // Opaque fixed bytes (see encode_fixed_value).
        w.flags |= kColumnFixed;
        w.length = c.size;
        w.var_index = var;
        w.fixed_offset = fixed;
        fixed = static_cast<std::uint16_t>(fixed + w.length);
    } else if (is_fixed_type(c.type) || fixed_text) {
        w.flags |= kColumnFixed;
        w.length = fixed_text ? text_bytes(c) : fixed_length(c.type);
        w.var_index = var;
        if (c.type != ColumnType::kBoolean) {
            w.fixed_offset = fixed;
            fixed = static_cast<std::uint16_t>(fixed + w.length);
        }
    } else {
        w.var_index = var++;
        switch (c.type) {
            case ColumnType::kText:
                w.length = text_bytes(c);
                break;
            case ColumnType::kBinary: {
                std::uint16_t bytes = c.size ? c.size : 255;
                // Access's own tables of an ACE file hold 510-byte ones
                // (MSysCompactError.ErrorRecid).
                const std::uint16_t most = is_ace(version_) ? 510 : 255;
                if (bytes > most && !system) {
                    throw Error("Binary field '" + c.name + "' is longer than " + std::to_string(most) + ".");
                }
                w.length = bytes;
                break;
            }
            case ColumnType::kMemo:
            case ColumnType::kOle:
                w.length = 0;
                break;
            default:
                throw Error("Field '" + c.name + "' has an unknown data type.");
        }
    }
}

// A column's flags and its descriptor's misc bytes (sort order, or precision
// and scale), refusing what the file's version or the type does not allow.
void DatabaseWriter::set_column_flags(const ColumnSpec& c, write::TdefColumn& w, bool system) const {
    if (c.autonumber) {
        if (c.type == ColumnType::kLong) {
            w.flags |= kColumnAutoLong;
        } else if (c.type == ColumnType::kGuid) {
            w.flags |= kColumnAutoGuid;
        } else {
            throw Error("Only Long Integer and Replication ID fields can be autonumbers.");
        }
    }
    if (c.hyperlink) w.flags |= kColumnHyperlink;
    if (is_text_type(c.type) && c.compressed && !system && !c.calculated) w.misc_flags = 0x01;
    w.misc_flags |= c.more_extra_flags;
    if (c.calculated) w.misc_flags |= kColumnCalculated;
    const bool ace_only = c.calculated || c.type == ColumnType::kComplex ||
                          c.type == ColumnType::kBigInt || c.type == ColumnType::kDateTimeExt;
    if (ace_only && !is_ace(version_)) {
        throw Error("Field '" + c.name + "' has a data type that only ACE files (Access 2007 and later) have.");
    }
    if (c.type == ColumnType::kComplex) {
        // Access marks every complex column as a counter.
        w.flags |= kColumnAutoLong;
        w.complex_id = c.complex_id;
    }
    if (is_text_type(c.type)) {
        w.misc = c.sort_order ? c.sort_order : sort_order_;
        if (is_ace(version_)) {
            w.sort_order_version = static_cast<std::uint8_t>(
                c.sort_order_version >= 0 ? c.sort_order_version
                                          : static_cast<int>(sort_order_version_));
        }
    }
    if (c.type == ColumnType::kNumeric || (c.calculated && c.result_type == ColumnType::kNumeric)) {
        // A calculated column's result may hold what it likes here.
        if (!c.calculated && (c.precision < 1 || c.precision > 28 || c.scale > c.precision)) {
            throw Error("Field '" + c.name + "' has a precision or scale out of range.");
        }
        w.misc = static_cast<std::uint16_t>(c.precision | (c.scale << 8));
    }
}

void set_ace_design(ColumnSpec& cs, const Column& c) {
    const ColumnType type = c.column_type();
    if (type == ColumnType::kComplex) cs.autonumber = false;  // the counter bit add_table sets
    cs.calculated = c.is_calculated();
    cs.variable_length = !cs.calculated && !c.is_fixed() && is_fixed_type(type) && type != ColumnType::kBoolean;
    if (cs.variable_length) cs.calculated_length = c.length;
    if (cs.calculated) {
        cs.calculated_length = c.length;
        cs.result_type = static_cast<ColumnType>(c.calc_result_type);
        cs.precision = c.precision;
        cs.scale = c.scale;
    }
    cs.more_extra_flags = static_cast<std::uint8_t>(c.misc_flags & ~(0x01 | kColumnCalculated));
    cs.complex_id = type == ColumnType::kComplex ? c.complex_id : 0;
    // A text column sorted in an order whose keys this engine does not
    // write takes the file's own (its index keys are rebuilt in that one).
    if (is_text_type(type) && (c.sort_order == 1033 || c.sort_order == 0)) {
        cs.sort_order = c.sort_order;
        cs.sort_order_version = c.sort_order_version;
    }
}

// ---- tables ---------------------------------------------------------------------

TableHandle DatabaseWriter::create_table(const TableSpec& layout) {
    if (closed_) throw Error("The database is closed.");
    check_object_name(layout.name, "table");
    for (const auto& t : tables_) {
        if (same_name(t->layout.name, layout.name)) {
            throw Error("Table '" + layout.name + "' already exists.");
        }
    }
    TableHandle h = add_table(layout, false, 0);
    Table& t = *tables_[h];
    add_catalog_row(layout.name, static_cast<std::int32_t>(t.tdef_page), 0x0F000001, 1, 0,
                    Bytes{0x64, 0x8B});
    return h;
}

TableHandle DatabaseWriter::table(std::string_view name) const {
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        if (same_name(tables_[i]->layout.name, name)) return i;
    }
    throw Error("The Microsoft Jet database engine cannot find the input table or query '" +
                std::string(name) + "'. Make sure it exists and that its name is spelled "
                                    "correctly.");
}

std::vector<std::string> DatabaseWriter::table_names() const {
    std::vector<std::string> out;
    for (const auto& t : tables_) {
        if (!t->system) out.push_back(t->layout.name);
    }
    return out;
}

const TableSpec& DatabaseWriter::table_spec(TableHandle table) const {
    return tables_.at(table)->layout;
}

std::int32_t DatabaseWriter::table_id(TableHandle table) const {
    return static_cast<std::int32_t>(tables_.at(table)->tdef_page);
}

std::uint32_t DatabaseWriter::row_count(TableHandle table) const { return tables_.at(table)->rows; }

std::vector<IndexSpec> DatabaseWriter::index_layouts(TableHandle table) const {
    std::vector<IndexSpec> out;
    for (const auto& ix : tables_.at(table)->indexes) {
        IndexSpec layout = ix->layout;
        // As the definition holds it: a primary key is unique and required.
        layout.unique = (ix->flags & kIndexUnique) != 0;
        layout.ignore_nulls = (ix->flags & kIndexIgnoreNulls) != 0;
        layout.required = (ix->flags & kIndexRequired) != 0;
        layout.primary_key = ix->index_type == kIndexTypePrimaryKey;
        out.push_back(std::move(layout));
    }
    return out;
}

void DatabaseWriter::add_catalog_row(const std::string& name, std::int32_t id, std::int32_t parent,
                                     std::int16_t type, std::int32_t flags, const Bytes& owner) {
    Table& cat = *tables_.at(0);
    std::vector<Value> values(cat.layout.columns.size(), Null{});
    double now = creation_date_;
    for (std::size_t i = 0; i < cat.layout.columns.size(); ++i) {
        const std::string& c = cat.layout.columns[i].name;
        if (c == "Id") values[i] = id;
        else if (c == "ParentId") values[i] = parent;
        else if (c == "Name") values[i] = name;
        else if (c == "Type") values[i] = type;
        else if (c == "DateCreate" || c == "DateUpdate") values[i] = DateTime{now};
        else if (c == "Owner") values[i] = owner;
        else if (c == "Flags") values[i] = flags;
    }
    insert_row(0, values);
}

// ---- flushing ------------------------------------------------------------------

void DatabaseWriter::write_tdef(Table& t) {
    write::TdefImage img;
    img.table_type = t.system ? 0x53 : 0x4E;
    img.row_count = t.rows;
    img.autonumber = t.autonumber;
    img.complex_autonumber = t.layout.complex_autonumber;
    img.max_cols = static_cast<std::uint16_t>(t.columns.size());
    img.used_map = t.used.pointer();
    img.free_map = t.free.pointer();
    img.columns = t.columns;
    for (const auto& ix : t.indexes) {
        write::TdefRealIndex ri;
        for (auto [pos, desc] : ix->columns) ri.columns.emplace_back(t.columns[pos].number, desc);
        ri.used_map = ix->map.pointer();
        ri.first_page = ix->first_page;
        ri.flags = ix->flags;
        ri.row_count = ix->entry_count();
        img.real_indexes.push_back(std::move(ri));
    }
    std::vector<const IndexState*> by_name;
    for (const auto& ix : t.indexes) by_name.push_back(ix.get());
    std::stable_sort(by_name.begin(), by_name.end(), [](const IndexState* a, const IndexState* b) {
        return fold_name(a->layout.name) < fold_name(b->layout.name);
    });
    // A relationship's index names the other table's index by number and
    // that table by its definition's page, both looked up now: either may
    // have changed since the link was made. A side whose partner is not
    // there yet names none.
    auto link_fields = [&](const IndexLink& link, write::TdefLogicalIndex& li) {
        li.index_type = kIndexTypeForeignKey;
        li.rel_table_type = link.side;
        li.cascade_updates = link.cascade_updates;
        li.cascade_deletes = link.cascade_deletes;
        for (const auto& other : tables_) {
            if (!same_name(other->layout.name, link.table)) continue;
            for (const auto& ox : other->indexes) {
                if (ox->link && same_name(ox->layout.name, link.index)) {
                    li.rel_index = ox->number;
                    li.rel_table_page = other->tdef_page;
                }
            }
            for (std::size_t k = 0; k < other->shared.size(); ++k) {
                if (same_name(other->shared[k].name, link.index)) {
                    li.rel_index = static_cast<std::uint32_t>(other->indexes.size() + k);
                    li.rel_table_page = other->tdef_page;
                }
            }
        }
    };
    std::vector<write::TdefLogicalIndex> logical;
    for (const IndexState* ix : by_name) {
        write::TdefLogicalIndex li{ix->layout.name, ix->number, ix->number, ix->index_type};
        if (ix->link) link_fields(*ix->link, li);
        logical.push_back(std::move(li));
    }
    for (std::size_t k = 0; k < t.shared.size(); ++k) {
        const auto& sh = t.shared[k];
        std::uint32_t real = 0;
        for (const auto& ix : t.indexes) {
            if (ix.get() == sh.real) real = ix->number;
        }
        write::TdefLogicalIndex li{sh.name, static_cast<std::uint32_t>(t.indexes.size() + k), real, 0};
        link_fields(sh.link, li);
        logical.push_back(std::move(li));
    }
    std::stable_sort(logical.begin(), logical.end(), [](const auto& a, const auto& b) {
        return fold_name(a.name) < fold_name(b.name);
    });
    img.indexes = std::move(logical);
    std::vector<const LongColumn*> longs;
    for (const auto& lc : t.longs) longs.push_back(&lc);
    std::sort(longs.begin(), longs.end(), [&](const LongColumn* a, const LongColumn* b) {
        return t.columns[a->column].number < t.columns[b->column].number;
    });
    for (const LongColumn* lc : longs) {
        img.long_value_maps.push_back(write::TdefLongValueMap{t.columns[lc->column].number,
                                                              lc->used.pointer(), lc->free.pointer()});
    }
    Bytes buffer = write::encode_tdef(img);
    std::size_t need = write::tdef_page_count(buffer.size());
    while (t.tdef_pages.size() < need) t.tdef_pages.push_back(allocate_page());
    while (t.tdef_pages.size() > need) {
        free_pages_.insert(t.tdef_pages.back());
        t.tdef_pages.pop_back();
    }
    auto pages = write::split_tdef(buffer, t.tdef_pages);
    for (std::size_t i = 0; i < pages.size(); ++i) pager_.write(t.tdef_pages[i], pages[i]);
}

void DatabaseWriter::flush_table(Table& t) {
    if (t.current) pager_.write(t.current, write::encode_row_page(t.tdef_page, false, t.current_rows));
    for (auto& lc : t.longs) {
        // The other pages being filled are left as they are: the file
        // names one page per column as having room.
        for (auto& o : lc.others) pager_.write(o.page, write::encode_row_page(0, true, o.rows));
        lc.others.clear();
        if (lc.current) pager_.write(lc.current, write::encode_row_page(0, true, lc.rows));
        write_map(lc.used, lc.pages);
        write_map(lc.free, lc.current ? std::vector<std::uint32_t>{lc.current}
                                      : std::vector<std::uint32_t>{});
    }
    for (auto& ix : t.indexes) write_index(t, *ix);
    write_map(t.used, t.data_pages);
    write_map(t.free, t.current ? std::vector<std::uint32_t>{t.current} : std::vector<std::uint32_t>{});
    write_tdef(t);
    t.dirty = false;
}

void DatabaseWriter::flush() {
    if (closed_) return;
    dropped_trees_.clear();  // pages given back are written empty below
    for (auto& t : tables_) flush_table(*t);
    for (const auto& [page, rows] : map_page_rows_) {
        pager_.write(page, write::encode_row_page(0, false, rows));
    }
    // Page 1: the database's own map of free pages (those given back, and
    // every page past the end of the file that an inline map can name).
    std::vector<std::uint32_t> free;
    for (std::uint32_t p : free_pages_) {
        if (p < write::kInlineMapPages) free.push_back(p);
    }
    for (std::uint32_t p = pager_.page_count(); p < write::kInlineMapPages; ++p) free.push_back(p);
    std::vector<RowSlotImage> global{RowSlotImage{write::encode_inline_map(0, free), false},
                                     RowSlotImage{write::encode_inline_map(0, {}), false}};
    pager_.write(1, write::encode_row_page(1, false, global));
    // Pages handed back and not reused yet hold an empty data page of no
    // table, so no reader mistakes them for live index or table pages.
    for (std::uint32_t p : free_pages_) pager_.write(p, write::encode_row_page(0, false, {}));
    pager_.sync();
}

namespace {

// The index trees this process's writers left in a file when they closed
// it. A writer that opens the same file again, unchanged since (same device,
// inode, size and modification time), need not prove them again: a run of
// statements, each in a transaction of its own, would otherwise read every
// table's keys once per statement.
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileStamp&) const = default;
};

struct ProvenTrees {
    FileStamp stamp;
    std::map<std::uint32_t, std::uint32_t> entries_by_root;  // first page -> entries
};

std::mutex g_proven_mutex;
std::map<std::string, ProvenTrees> g_proven;  // by absolute path

std::optional<FileStamp> stamp_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size,
                     std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::string proven_key(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

}  // namespace

void DatabaseWriter::close() {
    if (closed_) return;
    if (journal_) {
        roll_back();  // a transaction not committed does not survive its writer
        return;
    }
    flush();
    const std::string path = pager_.path();
    pager_.close();
    closed_ = true;
    if (auto stamp = stamp_of(path)) {
        ProvenTrees proven{*stamp, {}};
        for (const auto& t : tables_) {
            for (const auto& ix : t->indexes) proven.entries_by_root[ix->first_page] = ix->entry_count();
        }
        std::lock_guard<std::mutex> lock(g_proven_mutex);
        g_proven[proven_key(path)] = std::move(proven);
    }
}

namespace {

// Little-endian reads in the joined pages of a table definition; a read
// past its end refuses the file.
struct DefinitionBytes {
    const Bytes& buffer;
    const std::string& path;
    const std::string& table;
    std::uint32_t u16(std::size_t at) const {
        if (at + 2 > buffer.size()) refuse_open(path, "table '" + table + "' has a damaged definition");
        return static_cast<std::uint32_t>(buffer[at] | (buffer[at + 1] << 8));
    }
    std::uint32_t u32(std::size_t at) const { return u16(at) | (u16(at + 2) << 16); }
};

}  // namespace

void DatabaseWriter::load_tables(const std::string& password) {
    const std::string& path = pager_.path();
    proven_roots_.clear();
    if (auto stamp = stamp_of(path)) {
        std::lock_guard<std::mutex> lock(g_proven_mutex);
        auto it = g_proven.find(proven_key(path));
        if (it != g_proven.end() && it->second.stamp == *stamp) proven_roots_ = it->second.entries_by_root;
    }
    auto db = Database::open(path, password);
    const Header& h = db->header();
    if (h.format != Format::Jet4) refuse_open(path, "it is a Jet 3 file");
    if (is_ace(h.version) && h.database_key != 0) refuse_open(path, "it is an encrypted ACE file");
    if (h.sort_order != 1033 && h.sort_order != 0) {
        refuse_open(path, "its text is sorted in the sort order " + std::to_string(h.sort_order));
    }
    if (h.sort_order_version > 1) {
        refuse_open(path, "its sort order has the unknown version " + std::to_string(h.sort_order_version));
    }
    version_ = h.version;
    sort_order_version_ = static_cast<SortOrderVersion>(h.sort_order_version);
    password_ = h.password;
    creation_date_ = h.creation_date;
    pager_.set_page_key(h.database_key);

    // MSysObjects first: catalog rows go to table 0.
    std::vector<const CatalogEntry*> entries;
    for (const auto& e : db->catalog()) {
        if (e.type == 1) entries.push_back(&e);
    }
    std::stable_partition(entries.begin(), entries.end(),
                          [](const CatalogEntry* e) { return e->name == "MSysObjects"; });
    if (entries.empty() || entries.front()->name != "MSysObjects") {
        refuse_open(path, "it has no MSysObjects table");
    }
    for (const CatalogEntry* e : entries) load_table(*db, *e);
    link_loaded_indexes();
    std::sort(map_page_rows_.begin(), map_page_rows_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // Page 1: the free pages of the database.
    auto global = write::decode_row_page(pager_.read(1));
    if (global.empty()) refuse_open(path, "its free-page map is missing");
    UsageMap m = decode_usage_map(global[0].bytes, format_info(Format::Jet4), "", 1);
    if (m.map_type != 0) refuse_open(path, "its free-page map is not one this engine writes");
    for (std::uint32_t p : m.pages) {
        if (p >= 2 && p < pager_.page_count()) free_pages_.insert(p);
    }
}

namespace {

// Where each column's descriptor stands in a table definition: the reader
// sorts columns by number, the writer keeps them in the order the
// definition lists them.
struct DescriptorOrder {
    std::vector<std::size_t> order;     // TDEF position -> position in def.columns
    std::vector<std::size_t> position;  // position in def.columns -> TDEF position
    // Bytes 11..14 of each descriptor as they are (sort order or precision
    // and scale, and the sort order's version), by TDEF position.
    std::vector<std::pair<std::uint16_t, std::uint8_t>> misc;
};

DescriptorOrder descriptor_order(const TableDef& def, const DefinitionBytes& d) {
    const FormatInfo& fmt = format_info(Format::Jet4);
    DescriptorOrder o;
    std::size_t pos = fmt.tdef_block_end + def.real_indexes.size() * fmt.real_idx_count_entry_size;
    for (std::size_t k = 0; k < def.columns.size(); ++k) {
        o.misc.emplace_back(static_cast<std::uint16_t>(d.u16(pos + fmt.col_misc_offset)),
                            static_cast<std::uint8_t>(d.u16(pos + fmt.col_misc_offset + 2) >> 8));
        std::uint32_t number = d.u16(pos + fmt.col_num_offset);
        std::size_t at = def.columns.size();
        for (std::size_t i = 0; i < def.columns.size(); ++i) {
            if (def.columns[i].number == number) at = i;
        }
        if (at == def.columns.size()) refuse_open(d.path, "table '" + d.table + "' has a damaged definition");
        o.order.push_back(at);
        pos += fmt.column_entry_size;
    }
    o.position.resize(def.columns.size());
    for (std::size_t k = 0; k < o.order.size(); ++k) o.position[o.order[k]] = k;
    return o;
}

// The layout this writer would be given to write the definition again.
TableSpec loaded_layout(const std::string& name, const TableDef& def, const DescriptorOrder& o) {
    TableSpec layout;
    layout.name = name;
    for (std::size_t k : o.order) {
        const Column& c = def.columns[k];
        ColumnSpec cs;
        cs.name = c.name;
        cs.type = c.column_type();
        if (cs.type == ColumnType::kText) cs.size = static_cast<std::uint16_t>(c.length / 2);
        if (cs.type == ColumnType::kBinary) cs.size = c.length;
        if (!is_known_column_type(c.type) && c.is_fixed()) cs.size = c.length;
        cs.precision = c.precision;
        cs.scale = c.scale;
        cs.autonumber = c.is_autonumber();
        cs.compressed = c.misc_flags & 0x01;
        cs.hyperlink = c.flags & kColumnHyperlink;
        cs.required = !(c.flags & kColumnNullable);
        cs.fixed_length = cs.type == ColumnType::kText && c.is_fixed();
        cs.number = c.number;
        cs.extra_flags = static_cast<std::uint8_t>(
            c.flags & ~(kColumnFixed | kColumnNullable | kColumnAutoLong | kColumnAutoGuid |
                        kColumnHyperlink));
        set_ace_design(cs, c);
        layout.columns.push_back(std::move(cs));
    }
    layout.complex_autonumber = def.complex_autonumber;
    return layout;
}

}  // namespace

// One table of an opened file: its layout in the order the definition
// lists the columns, its usage maps, its long-value maps and its indexes,
// each refused unless this writer would write it back unchanged.
void DatabaseWriter::load_table(Database& db, const CatalogEntry& entry) {
    const std::string& path = pager_.path();
    TableDef def = db.table_def(entry);
    Bytes buffer;  // the definition's pages joined
    for (std::size_t k = 0; k < def.pages.size(); ++k) {
        Bytes page = pager_.read(def.pages[k]);
        buffer.insert(buffer.end(), page.begin() + (k == 0 ? 0 : 8), page.end());
    }
    const DescriptorOrder o = descriptor_order(def, DefinitionBytes{buffer, path, entry.name});
    TableHandle th;
    try {
        th = add_table(loaded_layout(entry.name, def, o), def.table_type == 0x53, def.tdef_page, false);
    } catch (const Error& err) {
        refuse_open(path, "table '" + entry.name + "': " + err.what());
    }
    Table& t = *tables_[th];
    t.tdef_pages = def.pages;
    for (std::size_t i = 0; i < def.columns.size(); ++i) {
        const Column& c = def.columns[o.order[i]];
        write::TdefColumn& w = t.columns[i];
        w.flags = c.flags;
        w.misc_flags = c.misc_flags;
        w.length = c.length;
        w.fixed_offset = c.fixed_offset;
        w.var_index = c.var_index;
        if (c.column_type() != ColumnType::kComplex) {
            w.misc = o.misc[i].first;
            w.sort_order_version = o.misc[i].second;
        }
        if (c.is_fixed() && c.column_type() != ColumnType::kBoolean) {
            t.fixed_size = std::max<std::uint16_t>(t.fixed_size,
                                                   static_cast<std::uint16_t>(c.fixed_offset + c.length));
        }
    }
    if (def.num_var_cols != t.var_count) refuse_open(path, "table '" + entry.name + "' has a layout this engine does not write");
    t.rows = def.row_count;
    t.autonumber = def.next_autonumber;
    t.used = load_map(def.used_pages, t.data_pages);
    std::vector<std::uint32_t> free;
    t.free = load_map(def.free_pages, free);
    if (free.size() > 1 || (free.size() == 1 &&
                            !std::binary_search(t.data_pages.begin(), t.data_pages.end(), free[0]))) {
        refuse_open(path, "table '" + entry.name + "' has free-space pages this engine does not keep");
    }
    if (!free.empty()) {
        t.current = free[0];
        t.current_rows = write::decode_row_page(pager_.read(t.current));
    }
    if (!t.longs.empty()) load_long_value_maps(t, buffer, entry.name);
    load_indexes(t, def, o.position);
    const bool proven = std::all_of(t.indexes.begin(), t.indexes.end(), [&](const auto& ix) {
        return proven_roots_.count(ix->first_page) != 0;
    });
    if (proven) {
        for (auto& ix : t.indexes) {
            ix->stored_entries = proven_roots_.at(ix->first_page);
            ix->loaded = false;
            ix->dirty = false;
        }
    } else {
        prove_index_trees(db, def, t, o.position);
    }
    t.dirty = false;
}

// A loaded table's indexes: each real index with the logical index that
// owns it, then the relationships' indexes that share one.
void DatabaseWriter::load_indexes(Table& t, const TableDef& def,
                                  const std::vector<std::size_t>& column_position) {
    const std::string& path = pager_.path();
    const std::string& name = t.layout.name;
    for (std::size_t r = 0; r < def.real_indexes.size(); ++r) {
        const RealIndex& ri = def.real_indexes[r];
        // The logical index numbered as the real one owns it (as this writer
        // numbers them); the others on it are relationships' indexes.
        const Index* li = nullptr;
        for (const Index& x : def.indexes) {
            if (x.real_index == r && x.index_number == r) li = &x;
        }
        if (!li) refuse_open(path, "table '" + name + "' has logical indexes this engine does not number");
        auto ix = std::make_unique<IndexState>();
        if (li->foreign_key()) {
            ix->link = IndexLink{li->rel_table_type, {}, {}, li->cascade_updates, li->cascade_deletes,
                                 li->rel_table_page, static_cast<std::uint32_t>(li->rel_index_number)};
        }
        ix->layout.name = li->name;
        for (const IndexColumn& ic : ri.columns) {
            if (ic.column >= def.columns.size()) refuse_open(path, "an index names a missing column");
            ix->layout.columns.push_back(IndexColumnSpec{def.columns[ic.column].name, ic.descending});
            ix->columns.emplace_back(column_position[ic.column], ic.descending);
        }
        ix->layout.primary_key = li->primary_key();
        ix->layout.unique = ri.flags & kIndexUnique;
        ix->layout.ignore_nulls = ri.flags & kIndexIgnoreNulls;
        ix->layout.required = ri.flags & kIndexRequired;
        ix->flags = ri.flags;
        ix->index_type = li->index_type;
        ix->number = static_cast<std::uint32_t>(r);
        ix->map = load_map(ri.used_pages, ix->pages);
        ix->first_page = ri.first_page;
        t.indexes.push_back(std::move(ix));
    }
    // The shared ones, in the order of their numbers, which must follow the
    // real indexes' without a gap; their partners are named once every
    // table is loaded (link_loaded_indexes).
    std::vector<const Index*> shared;
    for (const Index& x : def.indexes) {
        if (x.index_number != x.real_index) shared.push_back(&x);
    }
    std::sort(shared.begin(), shared.end(),
              [](const Index* a, const Index* b) { return a->index_number < b->index_number; });
    for (std::size_t k = 0; k < shared.size(); ++k) {
        const Index& x = *shared[k];
        if (!x.foreign_key() || x.index_number != t.indexes.size() + k) {
            refuse_open(path, "table '" + name + "' has logical indexes this engine does not number");
        }
        t.shared.push_back(Table::SharedIndex{
            x.name, t.indexes[x.real_index].get(),
            IndexLink{x.rel_table_type, {}, {}, x.cascade_updates, x.cascade_deletes, x.rel_table_page,
                      static_cast<std::uint32_t>(x.rel_index_number)}});
    }
}

// A loaded relationship index names the other side by page and number;
// from here on it names it by table and index name (see write_tdef).
void DatabaseWriter::link_loaded_indexes() {
    auto resolve = [&](IndexLink& link) {
        for (const auto& other : tables_) {
            if (other->tdef_page != link.loaded_page) continue;
            link.table = other->layout.name;
            for (const auto& ox : other->indexes) {
                if (ox->number == link.loaded_index) link.index = ox->layout.name;
            }
            for (std::size_t k = 0; k < other->shared.size(); ++k) {
                if (other->indexes.size() + k == link.loaded_index) link.index = other->shared[k].name;
            }
        }
    };
    for (auto& t : tables_) {
        for (auto& ix : t->indexes) {
            if (ix->link) resolve(*ix->link);
        }
        for (auto& sh : t->shared) resolve(sh.link);
    }
}

// The long-value maps close the definition: column number, used and free
// map, ten bytes each, before the 0xFFFF end mark.
void DatabaseWriter::load_long_value_maps(Table& t, const Bytes& buffer, const std::string& table) {
    const std::string& path = pager_.path();
    const FormatInfo& fmt = format_info(Format::Jet4);
    DefinitionBytes d{buffer, path, table};
    std::size_t end = d.u32(8);
    std::size_t n = t.longs.size();
    if (end > buffer.size() || end < 2 + 10 * n + fmt.tdef_block_end) {
        refuse_open(path, "table '" + d.table + "' has a definition this engine does not read");
    }
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t at = end - 2 - 10 * (n - k);
        std::uint16_t number = static_cast<std::uint16_t>(d.u16(at));
        LongColumn* lc = nullptr;
        for (auto& l : t.longs) {
            if (t.columns[l.column].number == number) lc = &l;
        }
        if (!lc) refuse_open(path, "table '" + d.table + "' has long-value maps this engine does not read");
        lc->used = load_map(d.u32(at + 2), lc->pages);
        std::vector<std::uint32_t> lfree;
        lc->free = load_map(d.u32(at + 6), lfree);
        if (lfree.size() > 1) refuse_open(path, "table '" + d.table + "' has long-value pages this engine does not keep");
        if (!lfree.empty()) {
            lc->current = lfree[0];
            lc->rows = write::decode_row_page(pager_.read(lc->current));
        }
    }
}

// The keys of the rows, sorted in bounded memory, must give back each
// index's B-tree on its own pages, proven now in compare mode (the dry run
// of open() then skips the tree). The entries are read from those pages
// only when a change of the table needs them.
void DatabaseWriter::prove_index_trees(Database& db, const TableDef& def, Table& t,
                                       const std::vector<std::size_t>& column_position) {
    const std::string& path = pager_.path();
    std::string folder = std::filesystem::path(path).parent_path().string();
    std::vector<std::unique_ptr<write::IndexEntrySorter>> sorters;
    for (std::size_t k = 0; k < t.indexes.size(); ++k) {
        sorters.push_back(std::make_unique<write::IndexEntrySorter>(
            folder, index_sort_budget_ / t.indexes.size()));
    }
    std::vector<std::size_t> wanted;  // the key columns, copied out of each row
    for (std::size_t i = 0; i < column_position.size(); ++i) {
        for (const auto& ix : t.indexes) {
            for (auto c : ix->columns) {
                if (c.first == column_position[i] &&
                    std::find(wanted.begin(), wanted.end(), i) == wanted.end()) {
                    wanted.push_back(i);
                }
            }
        }
    }
    // Rows are cut into fields and only the key columns decoded, as an
    // index build reads them.
    Row row(t.layout.columns.size());
    std::vector<RawField> fields;
    PageFile& file = db.file();
    scan_table_bytes(file, def, [&](const RowId& id, std::uint32_t page, std::span<const std::uint8_t> bytes) {
        split_row(def, bytes, page, fields);
        if (fields.size() != row.size()) return true;
        for (std::size_t i : wanted) row[column_position[i]] = decode_field(file, def, def.columns[i], fields[i], page);
        for (std::size_t k = 0; k < t.indexes.size(); ++k) {
            IndexState& ix = *t.indexes[k];
            bool all_null = std::all_of(ix.columns.begin(), ix.columns.end(),
                                        [&](auto c) { return is_null(row[c.first]); });
            if ((ix.flags & kIndexIgnoreNulls) && all_null) continue;
            sorters[k]->add(index_key(t, ix, row), id.page, id.row, true);
        }
        return true;
    });
    for (std::size_t k = 0; k < t.indexes.size(); ++k) {
        IndexState& ix = *t.indexes[k];
        const std::vector<std::uint32_t>& pages = ix.pages;  // ascending
        std::size_t used = 0;
        std::uint32_t root = 0;
        std::vector<std::uint32_t> differing;
        pager_.begin_compare();
        try {
            write::IndexTreeWriter tree(
                t.tdef_page,
                [&]() {
                    if (used == pages.size()) throw Error("an index needs more pages");
                    return pages[used++];
                },
                [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
            sorters[k]->merge([&](std::span<const std::uint8_t> e, bool) { tree.add(e); });
            root = tree.finish();
            write_map(ix.map, ix.pages);
            differing = pager_.end_compare();
        } catch (const Error&) {
            pager_.end_compare();
            differing.push_back(0);
        }
        if (!differing.empty() || used != pages.size() || root != ix.first_page) {
            refuse_open(path, "the index '" + ix.layout.name + "' of table '" + t.layout.name +
                                  "' is not laid out as this engine writes it");
        }
        ix.stored_entries = static_cast<std::uint32_t>(sorters[k]->size());
        ix.loaded = false;
        ix.dirty = false;
        sorters[k].reset();
    }
}

std::unique_ptr<DatabaseWriter> DatabaseWriter::open(const std::string& path,
                                                     std::string_view password) {
    RollbackJournal::recover(path);
    std::unique_ptr<DatabaseWriter> w(new DatabaseWriter());
    w->pager_ = PageWriter::open(path, write::kPageSize);
    try {
        w->load_tables(std::string(password));
        // The proof: a flush now must write every page it touches as it is.
        w->pager_.begin_compare();
        std::vector<std::uint32_t> differing;
        try {
            w->flush();
            differing = w->pager_.end_compare();
        } catch (const Error&) {
            w->pager_.end_compare();
            refuse_open(path, "it holds structures this engine does not write");
        }
        if (!differing.empty()) {
            refuse_open(path, "it holds structures this engine does not write (page " +
                                  std::to_string(differing.front()) + " would change)");
        }
    } catch (...) {
        w->closed_ = true;
        w->pager_ = PageWriter{};
        throw;
    }
    return w;
}

std::optional<RowId> DatabaseWriter::catalog_row(std::int32_t id) {
    // Found through MSysObjects' index on Id.
    Table& cat = *tables_.at(0);
    IndexState* by_id = nullptr;
    for (auto& ix : cat.indexes) {
        if (ix->columns.size() == 1 && cat.layout.columns[ix->columns[0].first].name == "Id") by_id = ix.get();
    }
    if (!by_id) throw Error("Internal error: MSysObjects has no index on Id.");
    std::vector<Value> values(cat.layout.columns.size(), Null{});
    values[by_id->columns[0].first] = id;
    load_index_entries(cat, *by_id);
    Bytes key = index_key(cat, *by_id, values);
    auto e = by_id->entries.lower_bound(key);
    if (e == by_id->entries.end() || e->size() != key.size() + 4 ||
        !std::equal(key.begin(), key.end(), e->begin())) {
        return std::nullopt;
    }
    const Bytes& entry = *e;
    std::size_t n = entry.size();
    return RowId{(static_cast<std::uint32_t>(entry[n - 4]) << 16) | (entry[n - 3] << 8) | entry[n - 2],
                 entry[n - 1]};
}

void DatabaseWriter::drop_table(TableHandle table) {
    if (closed_) throw Error("The database is closed.");
    dropped_trees_.clear();  // dropped trees name rows as they were
    Table& t = *tables_.at(table);
    if (t.system || table == 0) throw Error("System table '" + t.layout.name + "' cannot be deleted.");
    if (in_relationship(t)) {
        throw Error("Cannot delete table '" + t.layout.name +
                    "'. It participates in one or more relationships.");
    }
    const auto row = catalog_row(static_cast<std::int32_t>(t.tdef_page));
    if (!row) throw Error("Internal error: table '" + t.layout.name + "' has no catalog row.");
    delete_row(0, *row);
    // Its pages become free pages; its map rows stay, naming no page.
    auto give = [&](const std::vector<std::uint32_t>& pages) {
        free_pages_.insert(pages.begin(), pages.end());
    };
    auto drop_map = [&](MapRef& map) {
        for (std::uint32_t p : map.reference_pages) {
            if (p) free_pages_.insert(p);
        }
        map.reference_pages.clear();
        write_map(map, {});
    };
    give(t.tdef_pages);
    give(t.data_pages);
    drop_map(t.used);
    drop_map(t.free);
    for (auto& lc : t.longs) {
        give(lc.pages);
        drop_map(lc.used);
        drop_map(lc.free);
    }
    for (auto& ix : t.indexes) {
        give(ix->pages);
        drop_map(ix->map);
    }
    tables_.erase(tables_.begin() + static_cast<std::ptrdiff_t>(table));
}

// ---- design of a table in place ---------------------------------------------------

void DatabaseWriter::alter_column(TableHandle table, std::string_view column,
                                  const ColumnSpec& design) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    std::size_t i = 0;
    while (i < t.layout.columns.size() && !same_name(t.layout.columns[i].name, column)) ++i;
    if (i == t.layout.columns.size()) {
        throw Error("Field '" + std::string(column) + "' is not in table '" + t.layout.name + "'.");
    }
    ColumnSpec& c = t.layout.columns[i];
    write::TdefColumn& w = t.columns[i];
    // Only flags change: anything that would move or reinterpret the stored
    // bytes of the rows is refused.
    auto width = [](const ColumnSpec& x) -> unsigned {
        if (x.type != ColumnType::kText && x.type != ColumnType::kBinary) return 0;
        return x.size ? x.size : 255;
    };
    const bool numeric = c.type == ColumnType::kNumeric;
    if (design.type != c.type || width(design) != width(c) || design.fixed_length != c.fixed_length ||
        (numeric && (design.precision != c.precision || design.scale != c.scale))) {
        throw Error("Field '" + c.name + "' of table '" + t.layout.name +
                    "' cannot change its type, size or precision in place.");
    }
    std::uint8_t auto_bit = c.type == ColumnType::kComplex ? kColumnAutoLong : 0;
    if (design.autonumber && c.type != ColumnType::kComplex) {
        if (c.type == ColumnType::kLong) {
            auto_bit = kColumnAutoLong;
        } else if (c.type == ColumnType::kGuid) {
            auto_bit = kColumnAutoGuid;
        } else {
            throw Error("Only Long Integer and Replication ID fields can be autonumbers.");
        }
    }
    const std::uint8_t own = kColumnFixed | kColumnNullable | kColumnAutoLong | kColumnAutoGuid |
                             kColumnHyperlink;
    const bool hyperlink = design.hyperlink && c.type == ColumnType::kMemo;
    w.flags = static_cast<std::uint8_t>((w.flags & kColumnFixed) |
                                        (design.required ? 0 : kColumnNullable) | auto_bit |
                                        (hyperlink ? kColumnHyperlink : 0) |
                                        (design.extra_flags & ~own));
    if (is_text_type(c.type) && !t.system && !c.calculated) {
        w.misc_flags = static_cast<std::uint8_t>((w.misc_flags & ~0x01) | (design.compressed ? 0x01 : 0));
    }
    c.autonumber = design.autonumber && c.type != ColumnType::kComplex;
    c.required = design.required;
    c.hyperlink = hyperlink;
    c.compressed = design.compressed;
    c.extra_flags = static_cast<std::uint8_t>(design.extra_flags & ~own);
    t.dirty = true;
}

std::uint32_t DatabaseWriter::complex_autonumber(TableHandle table) const {
    return tables_.at(table)->layout.complex_autonumber;
}

void DatabaseWriter::set_complex_autonumber(TableHandle table, std::uint32_t counter) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    t.layout.complex_autonumber = counter;
    t.dirty = true;
}

std::uint32_t DatabaseWriter::autonumber(TableHandle table) const {
    return tables_.at(table)->autonumber;
}

void DatabaseWriter::set_autonumber(TableHandle table, std::uint32_t counter) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    t.autonumber = counter;
    t.dirty = true;
}

void DatabaseWriter::rename_table(TableHandle table, std::string_view name) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (t.system || table == 0) throw Error("System table '" + t.layout.name + "' cannot be renamed.");
    check_object_name(name, "table");
    for (const auto& other : tables_) {
        if (other.get() != &t && same_name(other->layout.name, name)) {
            throw Error("Table '" + std::string(name) + "' already exists.");
        }
    }
    // The catalog row is read back from the file as the flush leaves it,
    // changed in its Name only, and written through update_row so that the
    // catalog's indexes follow.
    flush();
    Table& cat = *tables_.at(0);
    std::size_t name_column = cat.layout.columns.size();
    for (std::size_t i = 0; i < cat.layout.columns.size(); ++i) {
        if (cat.layout.columns[i].name == "Name") name_column = i;
    }
    if (name_column == cat.layout.columns.size()) {
        throw Error("Internal error: MSysObjects has no Name column.");
    }
    RowId where{};
    Row values;
    bool found = false;
    {
        auto db = Database::open(pager_.path(), password_);
        TableDef def = db->table_def("MSysObjects");
        std::vector<std::size_t> position(def.columns.size(), cat.layout.columns.size());
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            for (std::size_t i = 0; i < cat.layout.columns.size(); ++i) {
                if (cat.layout.columns[i].name == def.columns[k].name) position[k] = i;
            }
        }
        const Column* id = def.find_column("Id");
        const Column* type = def.find_column("Type");
        if (!id || !type) throw Error("Internal error: MSysObjects has no Id or Type column.");
        const std::size_t id_at = static_cast<std::size_t>(id - def.columns.data());
        const std::size_t type_at = static_cast<std::size_t>(type - def.columns.data());
        db->scan(def, [&](const RowId& rid, const Row& row) {
            auto pid = std::get_if<std::int32_t>(&row[id_at]);
            auto ptype = std::get_if<std::int16_t>(&row[type_at]);
            if (!pid || !ptype || *ptype != 1 ||
                static_cast<std::uint32_t>(*pid) != t.tdef_page) {
                return true;
            }
            values.assign(cat.layout.columns.size(), Null{});
            for (std::size_t k = 0; k < row.size() && k < position.size(); ++k) {
                if (position[k] < values.size()) values[position[k]] = row[k];
            }
            where = rid;
            found = true;
            return false;
        });
    }
    if (!found) throw Error("Internal error: table '" + t.layout.name + "' has no catalog row.");
    values[name_column] = std::string(name);
    update_row(0, where, values);
    t.layout.name = std::string(name);
    t.dirty = true;
}

// ---- transactions in place ----------------------------------------------------------

void DatabaseWriter::begin() {
    if (closed_) throw Error("The database is closed.");
    if (journal_) throw Error("A transaction is already running.");
    flush();
    journal_ = std::make_unique<RollbackJournal>(RollbackJournal::begin(
        pager_.path(), pager_.page_size(),
        static_cast<std::uint64_t>(pager_.page_count()) * pager_.page_size()));
    RollbackJournal* j = journal_.get();
    pager_.set_before_overwrite([j](std::uint32_t page, std::span<const std::uint8_t> image) {
        j->save(page, image);
    });
}

void DatabaseWriter::commit() {
    if (!journal_) throw Error("No transaction is running.");
    flush();
    journal_->commit();
    pager_.set_before_overwrite({});
    journal_.reset();
}

void DatabaseWriter::roll_back() {
    if (!journal_) throw Error("No transaction is running.");
    pager_.set_before_overwrite({});
    closed_ = true;
    pager_ = PageWriter{};  // no flush: nothing more of the transaction reaches the file
    journal_->roll_back();
    journal_.reset();
}

}  // namespace jet
