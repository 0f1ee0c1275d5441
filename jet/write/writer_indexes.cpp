// The writer's index maintenance: keys of rows, unique checks, entries kept
// per index, building an index over a table, writing its B-tree and
// dropping it.
#include "jet/write/writer_internal.h"

namespace jet {

using namespace writer_detail;

// ---- indexes ----------------------------------------------------------------------

Bytes DatabaseWriter::index_key(const Table& t, const IndexState& ix, std::span<const Value> values) {
    // One part after the other into the entry (as encode_index_key does),
    // with no list of parts or texts to allocate per key.
    Bytes out;
    out.reserve(32);
    for (auto [pos, desc] : ix.columns) {
        const ColumnSpec& c = t.layout.columns[pos];
        const Value& v = values[pos];
        KeyPart part{c.type, std::monostate{}, !desc};
        std::int64_t i = 0;
        double d = 0;
        std::array<std::uint8_t, kDateTimeExtSize> stored{};
        if (is_null(v)) {
            // stays null
        } else if (auto ext = get_if_value<DateTimeExt>(v)) {
            stored = encode_datetime_ext(*ext);
            part.value = std::span<const std::uint8_t>(stored);
        } else if (auto s = get_if_value<std::string>(v)) {
            part.value = std::string_view(*s);
        } else if (auto b = get_if_value<bool>(v)) {
            part.value = *b;
        } else if (auto cur = get_if_value<Currency>(v)) {
            part.value = cur->scaled;
        } else if (c.type == ColumnType::kCurrency && integral_value(v, i)) {
            part.value = i * 10000;
        } else if (integral_value(v, i) && c.type != ColumnType::kSingle &&
                   c.type != ColumnType::kDouble && c.type != ColumnType::kDateTime) {
            part.value = i;
        } else if (auto g = get_if_value<Guid>(v)) {
            part.value = g->bytes;
        } else if (auto dec = get_if_value<Decimal>(v)) {
            part.value = KeyDecimal{dec->negative, dec->magnitude};
        } else if (auto bytes = get_if_value<Bytes>(v)) {
            part.value = std::span<const std::uint8_t>(*bytes);
        } else if (real_value(v, d)) {
            if (c.type == ColumnType::kSingle) d = static_cast<float>(d);
            part.value = d;
        }
        append_key_column(part.type, part.value, part.ascending, out,
                          static_cast<SortOrderVersion>(t.columns[pos].sort_order_version == 1 ? 1 : 0),
                          is_ace(version_) ? NumericKeyOrder::kAce : NumericKeyOrder::kJet4);
    }
    return out;
}

void DatabaseWriter::check_unique(const Table& t, std::span<const Value> values, const RowId* ignore) {
    for (const auto& ix : t.indexes) {
        if (!(ix->flags & kIndexUnique)) continue;
        bool any_null = std::any_of(ix->columns.begin(), ix->columns.end(),
                                    [&](auto c) { return is_null(values[c.first]); });
        if (any_null && !ix->layout.primary_key) continue;  // Jet lets nulls repeat
        load_index_entries(t, *ix);
        Bytes key = index_key(t, *ix, values);
        auto it = ix->entries.lower_bound(key);
        if (it != ix->entries.end() && it->size() == key.size() + 4 &&
            std::equal(key.begin(), key.end(), it->begin())) {
            std::uint32_t ptr = (std::uint32_t{(*it)[key.size()]} << 24) |
                                (std::uint32_t{(*it)[key.size() + 1]} << 16) |
                                (std::uint32_t{(*it)[key.size() + 2]} << 8) | (*it)[key.size() + 3];
            if (!ignore || ptr != ((ignore->page << 8) | ignore->row)) {
                throw Error(std::string(kDuplicateKeyMessage));
            }
        }
    }
}

void DatabaseWriter::add_index_entries(Table& t, std::span<const Value> values, RowId id) {
    for (auto& ix : t.indexes) {
        load_index_entries(t, *ix);
        if (ix->flags & kIndexIgnoreNulls) {
            bool all_null = std::all_of(ix->columns.begin(), ix->columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            if (all_null) continue;
        }
        Bytes entry = index_key(t, *ix, values);
        write::append_index_row_pointer(entry, id.page, id.row);
        ix->entry_of_row[(id.page << 8) | id.row] = ix->entries.insert(std::move(entry)).first;
        ix->dirty = true;
    }
}

void DatabaseWriter::remove_index_entries(Table& t, RowId id) {
    std::uint32_t ptr = (id.page << 8) | id.row;
    for (auto& ix : t.indexes) {
        load_index_entries(t, *ix);
        auto it = ix->entry_of_row.find(ptr);
        if (it == ix->entry_of_row.end()) continue;
        ix->entries.erase(it->second);
        ix->entry_of_row.erase(it);
        ix->dirty = true;
    }
}

void DatabaseWriter::create_index(TableHandle table, const IndexSpec& layout) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    if (!t.system) check_object_name(layout.name, "index");
    for (const auto& sh : t.shared) {
        if (same_name(sh.name, layout.name)) {
            throw Error("Index '" + layout.name + "' already exists on table '" + t.layout.name + "'.");
        }
    }
    for (const auto& ix : t.indexes) {
        if (same_name(ix->layout.name, layout.name)) {
            throw Error("Index '" + layout.name + "' already exists on table '" + t.layout.name + "'.");
        }
        if (layout.primary_key && ix->layout.primary_key) {
            throw Error("Table '" + t.layout.name + "' already has a primary key.");
        }
    }
    if (layout.columns.empty() || layout.columns.size() > 10) {
        throw Error("An index needs 1 to 10 fields.");
    }
    auto ix = std::make_unique<IndexState>();
    ix->layout = layout;
    for (const auto& ic : layout.columns) {
        std::size_t pos = t.layout.columns.size();
        for (std::size_t i = 0; i < t.layout.columns.size(); ++i) {
            if (same_name(t.layout.columns[i].name, ic.column)) pos = i;
        }
        if (pos == t.layout.columns.size()) {
            throw Error("Field '" + ic.column + "' is not in table '" + t.layout.name + "'.");
        }
        if (!is_indexable_type(t.layout.columns[pos].type)) {
            throw Error("Field '" + ic.column + "' cannot be indexed (OLE Object).");
        }
        ix->columns.emplace_back(pos, ic.descending);
    }
    bool unique = layout.unique || layout.primary_key;
    bool required = layout.required || (layout.primary_key && !t.system);
    ix->flags = static_cast<std::uint8_t>(0x80 | (unique ? kIndexUnique : 0) |
                                          (layout.ignore_nulls ? kIndexIgnoreNulls : 0) |
                                          (required ? kIndexRequired : 0));
    ix->index_type = layout.primary_key ? kIndexTypePrimaryKey : kIndexTypeNormal;
    ix->number = static_cast<std::uint32_t>(t.indexes.size());

    last_index_runs_ = 0;
    if (t.rows > 0) {
        build_index(table, std::move(ix));
        return;
    }
    ix->map = new_map();
    ix->pages.push_back(allocate_page());  // its root, next to the table's other pages
    t.indexes.push_back(std::move(ix));
    order_indexes(t);
    t.dirty = true;
}

// Keys of the rows already there, read back through the reading half from
// the file as the last flush left it, sorted in bounded memory and written
// bottom-up as a B-tree at once; the index then lives on its pages until a
// change of the table needs its entries.
void DatabaseWriter::build_index(TableHandle table, std::unique_ptr<IndexState> ix) {
    std::string name = tables_.at(table)->layout.name;
    flush();
    Table& tt = *tables_.at(table);
    IndexState& ixs = *ix;
    std::string folder = std::filesystem::path(pager_.path()).parent_path().string();
    write::IndexEntrySorter sorter(folder, index_sort_budget_);
    {
        auto db = Database::open(pager_.path(), password_);
        TableDef def = db->table_def(name);
        std::vector<std::size_t> position(def.columns.size(), 0);
        for (std::size_t k = 0; k < def.columns.size(); ++k) {
            for (std::size_t i = 0; i < tt.layout.columns.size(); ++i) {
                if (tt.layout.columns[i].name == def.columns[k].name) position[k] = i;
            }
        }
        // Only the key columns are copied out of each row.
        std::vector<std::size_t> wanted;
        for (std::size_t k = 0; k < position.size(); ++k) {
            for (auto c : ixs.columns) {
                if (c.first == position[k]) {
                    wanted.push_back(k);
                    break;
                }
            }
        }
        // Rows are cut into fields and only the key columns decoded: the
        // other values, memo and OLE ones above all, are never read for a key.
        std::vector<Value> values(tt.layout.columns.size());
        std::vector<RawField> fields;
        PageFile& file = db->file();
        scan_table_bytes(file, def, [&](const RowId& id, std::uint32_t page, std::span<const std::uint8_t> row) {
            split_row(def, row, page, fields);
            for (std::size_t k : wanted) {
                if (k < fields.size()) values[position[k]] = decode_field(file, def, def.columns[k], fields[k], page);
            }
            bool all_null = std::all_of(ixs.columns.begin(), ixs.columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            bool any_null = std::any_of(ixs.columns.begin(), ixs.columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            if ((ixs.flags & kIndexRequired) && any_null) {
                throw Error("Index or primary key cannot contain a Null value.");
            }
            if ((ixs.flags & kIndexIgnoreNulls) && all_null) return true;
            bool checked = (ixs.flags & kIndexUnique) && !(any_null && !ixs.layout.primary_key);
            sorter.add(index_key(tt, ixs, values), id.page, id.row, !checked);
            return true;
        });
    }
    // Equal keys of checked entries meet in the merged order (keys of one
    // index are prefix-free: every part has a fixed length or an end mark).
    std::vector<std::uint32_t> taken;
    try {
        write::IndexTreeWriter tree(
            tt.tdef_page,
            [&]() {
                std::uint32_t p = allocate_page();
                taken.push_back(p);
                return p;
            },
            [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
        Bytes prev;
        sorter.merge([&](std::span<const std::uint8_t> e, bool may_repeat) {
            if (!may_repeat && prev.size() == e.size() &&
                std::equal(e.begin(), e.end() - 4, prev.begin())) {
                throw Error(std::string(kDuplicateKeyMessage));
            }
            prev.assign(e.begin(), e.end());
            tree.add(e);
        });
        ixs.first_page = tree.finish();
    } catch (...) {
        // Given back so that they are taken again in the same order.
        free_pages_.insert(taken.begin(), taken.end());
        throw;
    }
    last_index_runs_ = sorter.runs();
    ixs.pages = std::move(taken);
    ixs.stored_entries = static_cast<std::uint32_t>(sorter.size());
    ixs.loaded = false;
    ixs.dirty = false;
    ixs.map = new_map();
    write_map(ixs.map, ixs.pages);
    tt.indexes.push_back(std::move(ix));
    order_indexes(tt);
    tt.dirty = true;
}

void DatabaseWriter::load_index_entries(const Table& t, IndexState& ix) {
    if (ix.loaded) return;
    Bytes buffer;
    auto read = [&](std::uint32_t page) -> std::span<const std::uint8_t> {
        buffer = pager_.read(page);
        return buffer;
    };
    std::vector<IndexEntry> stored =
        read_index_entries(read, Format::Jet4, ix.first_page, pager_.page_count(), t.layout.name);
    if (stored.size() != ix.stored_entries) {
        throw Error("Internal error: index '" + ix.layout.name + "' of table '" + t.layout.name +
                    "' does not hold the entries it was built with.");
    }
    for (IndexEntry& e : stored) {
        Bytes entry = std::move(e.key);
        write::append_index_row_pointer(entry, e.row.page, e.row.row);
        ix.entry_of_row[(e.row.page << 8) | e.row.row] = ix.entries.insert(std::move(entry)).first;
    }
    ix.loaded = true;
}

void DatabaseWriter::write_index(Table& t, IndexState& ix) {
    if (!ix.dirty && ix.first_page) return;
    load_index_entries(t, ix);
    // Reuse its pages smallest first, so the page order of a tree follows
    // from its set of pages alone (DatabaseWriter::open relies on that).
    std::vector<std::uint32_t> old = ix.pages;
    std::sort(old.begin(), old.end(), std::greater<>());
    ix.pages.clear();
    auto take = [&]() {
        std::uint32_t p;
        if (!old.empty()) {
            p = old.back();
            old.pop_back();
        } else {
            p = allocate_page();
        }
        ix.pages.push_back(p);
        return p;
    };
    write::IndexTreeWriter tree(
        t.tdef_page, take, [&](std::uint32_t p, const Bytes& image) { pager_.write(p, image); });
    for (const Bytes& e : ix.entries) tree.add(e);
    ix.first_page = tree.finish();
    free_pages_.insert(old.begin(), old.end());
    write_map(ix.map, ix.pages);
    ix.dirty = false;
}

void DatabaseWriter::add_relationship_index(TableHandle table, const RelationshipIndexSpec& side) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    for (const auto& sh : t.shared) {
        if (same_name(sh.name, side.name)) {
            throw Error("Index '" + side.name + "' already exists on table '" + t.layout.name + "'.");
        }
    }
    IndexLink link{static_cast<std::uint8_t>(side.referenced_side ? kRelationReferenced : kRelationForeign),
                   side.other_table, side.other_index, side.cascade_updates, side.cascade_deletes};
    auto same_columns = [&](const IndexState& ix) {
        if (ix.columns.size() != side.columns.size()) return false;
        for (std::size_t k = 0; k < side.columns.size(); ++k) {
            const auto [pos, desc] = ix.columns[k];
            if (!same_name(t.layout.columns[pos].name, side.columns[k].column) ||
                desc != side.columns[k].descending) {
                return false;
            }
        }
        return true;
    };
    // An index of the relationship's name on its columns (a copy made
    // before the relationship) becomes the relationship's own.
    for (auto& ix : t.indexes) {
        if (!same_name(ix->layout.name, side.name)) continue;
        if (!same_columns(*ix) || ix->link || ix->layout.primary_key) {
            throw Error("Index '" + side.name + "' already exists on table '" + t.layout.name + "'.");
        }
        ix->link = std::move(link);
        ix->index_type = kIndexTypeForeignKey;
        order_indexes(t);
        t.dirty = true;
        return;
    }
    // Jet gives a relationship's index the B-tree of an index on the same
    // columns in the same order and directions, when the table has one. Of
    // several such (a primary key and a plain index on one column), the one
    // as unique as the relationship's side asks (the referenced side's key
    // is unique), a primary key first.
    const IndexState* share = nullptr;
    const bool want_unique = side.unique || side.referenced_side;
    auto rank = [&](const IndexState& ix) {
        const bool unique = (ix.flags & kIndexUnique) != 0;
        return (unique == want_unique ? 2 : 0) + (ix.layout.primary_key ? 1 : 0);
    };
    for (const auto& ix : t.indexes) {
        if (same_columns(*ix) && (!share || rank(*ix) > rank(*share))) share = ix.get();
    }
    if (share) {
        t.shared.push_back(Table::SharedIndex{side.name, share, std::move(link)});
        t.dirty = true;
        return;
    }
    create_index(table, IndexSpec{side.name, side.columns, false, side.unique, side.ignore_nulls,
                                  side.required});
    Table& tt = *tables_.at(table);
    for (auto& ix : tt.indexes) {
        if (same_name(ix->layout.name, side.name)) {
            ix->link = std::move(link);
            ix->index_type = kIndexTypeForeignKey;
        }
    }
    order_indexes(tt);
    tt.dirty = true;
}

// Real indexes are numbered as Jet numbers them: those of plain indexes and
// primary keys first, then those a relationship's index owns, each group in
// the order the indexes were made. Readers that pair the n-th real index
// with the logical index numbered n among the indexes that are not a
// relationship's rely on it; a logical index that owns its B-tree keeps the
// real index's number.
void DatabaseWriter::order_indexes(Table& t) {
    std::stable_partition(t.indexes.begin(), t.indexes.end(),
                          [](const auto& ix) { return !ix->link; });
    for (std::size_t k = 0; k < t.indexes.size(); ++k) t.indexes[k]->number = static_cast<std::uint32_t>(k);
}

bool DatabaseWriter::in_relationship(const Table& t) const {
    if (!t.shared.empty()) return true;
    for (const auto& ix : t.indexes) {
        if (ix->link) return true;
    }
    for (const auto& other : tables_) {
        for (const auto& ix : other->indexes) {
            if (ix->link && same_name(ix->link->table, t.layout.name)) return true;
        }
        for (const auto& sh : other->shared) {
            if (same_name(sh.link.table, t.layout.name)) return true;
        }
    }
    return false;
}

void DatabaseWriter::drop_index(TableHandle table, std::string_view index_name) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    auto it = std::find_if(t.indexes.begin(), t.indexes.end(),
                           [&](const auto& ix) { return same_name(ix->layout.name, index_name); });
    if (it == t.indexes.end()) {
        throw Error("Index '" + std::string(index_name) + "' does not exist on table '" +
                    t.layout.name + "'.");
    }
    IndexState& ix = **it;
    // The other table's side would name an index that is gone.
    bool shared = std::any_of(t.shared.begin(), t.shared.end(),
                              [&](const auto& sh) { return sh.real == &ix; });
    if (ix.link || shared) {
        throw Error("Cannot delete index '" + std::string(index_name) +
                    "'. It is in use in one or more relationships.");
    }
    free_pages_.insert(ix.pages.begin(), ix.pages.end());
    for (std::uint32_t p : ix.map.reference_pages) {
        if (p) free_pages_.insert(p);
    }
    ix.map.reference_pages.clear();
    write_map(ix.map, {});  // the row stays, naming no page
    t.indexes.erase(it);
    order_indexes(t);
    t.dirty = true;
}

}  // namespace jet
