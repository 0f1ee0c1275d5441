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
    dropped_trees_.clear();  // the rows no longer match them
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
    dropped_trees_.clear();  // the rows no longer match them
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

namespace {

// The key columns of an index as positions in the layout, with the flags
// an index of this layout carries; throws for a column the table lacks or
// cannot index.
void resolve_index(const TableSpec& table, bool system, const IndexSpec& layout,
                   std::vector<std::pair<std::size_t, bool>>& columns, std::uint8_t& flags) {
    columns.clear();
    for (const auto& ic : layout.columns) {
        std::size_t pos = table.columns.size();
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            if (same_name(table.columns[i].name, ic.column)) pos = i;
        }
        if (pos == table.columns.size()) {
            throw Error("Field '" + ic.column + "' is not in table '" + table.name + "'.");
        }
        if (!is_indexable_type(table.columns[pos].type)) {
            throw Error("Field '" + ic.column + "' cannot be indexed (OLE Object).");
        }
        columns.emplace_back(pos, ic.descending);
    }
    bool unique = layout.unique || layout.primary_key;
    bool required = layout.required || (layout.primary_key && !system);
    flags = static_cast<std::uint8_t>(0x80 | (unique ? kIndexUnique : 0) |
                                      (layout.ignore_nulls ? kIndexIgnoreNulls : 0) |
                                      (required ? kIndexRequired : 0));
}

// The bytes of a non-null key part of a column type whose parts all have
// one length (flag byte included); 0 for the others (texts, binaries:
// their parts end with a mark; Boolean: never null in a key, whatever the
// row holds).
std::size_t fixed_key_part(ColumnType type) {
    KeyValue v;
    switch (type) {
        case ColumnType::kByte:
        case ColumnType::kInteger:
        case ColumnType::kLong:
        case ColumnType::kCurrency:
        case ColumnType::kBigInt:
            v = std::int64_t{0};
            break;
        case ColumnType::kSingle:
        case ColumnType::kDouble:
        case ColumnType::kDateTime:
            v = 0.0;
            break;
        case ColumnType::kGuid:
            v = GuidBytes{};
            break;
        case ColumnType::kNumeric:
            v = KeyDecimal{};
            break;
        default:
            return 0;
    }
    Bytes out;
    append_key_column(type, v, true, out);
    return out.size();
}

}  // namespace

// What one read of a table gives each index being built: its keys, or the
// error that stops it (a Null in a required index).
struct DatabaseWriter::KeyTarget {
    const IndexState* ix = nullptr;
    write::IndexEntrySorter* sorter = nullptr;
    std::exception_ptr error;
};

// The checks create_index makes before anything is built, in its order, and
// the index's state (no pages yet).
std::unique_ptr<DatabaseWriter::IndexState> DatabaseWriter::prepare_index(Table& t,
                                                                          const IndexSpec& layout) {
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
    resolve_index(t.layout, t.system, layout, ix->columns, ix->flags);
    ix->index_type = layout.primary_key ? kIndexTypePrimaryKey : kIndexTypeNormal;
    ix->number = static_cast<std::uint32_t>(t.indexes.size());
    return ix;
}

void DatabaseWriter::create_index(TableHandle table, const IndexSpec& layout) {
    if (closed_) throw Error("The database is closed.");
    Table& t = *tables_.at(table);
    auto ix = prepare_index(t, layout);
    last_index_runs_ = 0;
    last_index_from_dropped_ = false;
    if (t.rows > 0) {
        std::string folder = std::filesystem::path(pager_.path()).parent_path().string();
        std::optional<write::IndexEntrySorter> sorter(std::in_place, folder, index_sort_budget_);
        bool flushed = false;
        if (!keys_from_dropped(t, *ix, *sorter)) {
            sorter.emplace(folder, index_sort_budget_);  // without what the tree gave
            std::vector<KeyTarget> one{KeyTarget{ix.get(), &*sorter, {}}};
            collect_keys(table, one);
            if (one[0].error) std::rethrow_exception(one[0].error);
            flushed = true;
        }
        finish_index(table, std::move(ix), *sorter, flushed);
        return;
    }
    ix->map = new_map();
    ix->pages.push_back(allocate_page());  // its root, next to the table's other pages
    t.indexes.push_back(std::move(ix));
    order_indexes(t);
    t.dirty = true;
}

std::vector<std::exception_ptr> DatabaseWriter::create_indexes(
    TableHandle table, std::vector<IndexSpec>& layouts, const BeforeIndex& before) {
    if (closed_) throw Error("The database is closed.");
    const std::size_t n = layouts.size();
    std::vector<std::exception_ptr> errors(n);
    // The keys of every index whose columns resolve now, from one read of
    // the rows; the checks that depend on the indexes made before it wait
    // for its turn below.
    std::vector<std::unique_ptr<IndexState>> drafts(n);
    std::vector<std::unique_ptr<write::IndexEntrySorter>> sorters(n);
    std::vector<std::size_t> target_of(n, n);
    std::vector<KeyTarget> targets;
    if (tables_.at(table)->rows > 0) {
        const Table& t = *tables_.at(table);
        for (std::size_t k = 0; k < n; ++k) {
            auto d = std::make_unique<IndexState>();
            try {
                resolve_index(t.layout, t.system, layouts[k], d->columns, d->flags);
            } catch (const Error&) {
                continue;
            }
            if (d->columns.empty()) continue;
            drafts[k] = std::move(d);
        }
        std::size_t keyed = 0;
        for (const auto& d : drafts) keyed += d ? 1 : 0;
        std::string folder = std::filesystem::path(pager_.path()).parent_path().string();
        for (std::size_t k = 0; k < n; ++k) {
            if (!drafts[k]) continue;
            // Their runs together stay within the one budget.
            sorters[k] = std::make_unique<write::IndexEntrySorter>(folder, index_sort_budget_ / keyed);
            target_of[k] = targets.size();
            targets.push_back(KeyTarget{drafts[k].get(), sorters[k].get(), {}});
        }
        if (!targets.empty()) {
            try {
                collect_keys(table, targets);
            } catch (...) {
                for (KeyTarget& kt : targets) kt.error = std::current_exception();
            }
        }
    }
    bool flushed = !targets.empty();  // collect_keys flushed, nothing changed since
    for (std::size_t k = 0; k < n; ++k) {
        try {
            if (before) before(k, errors);
            Table& t = *tables_.at(table);
            last_index_runs_ = 0;
            last_index_from_dropped_ = false;
            auto ix = prepare_index(t, layouts[k]);
            if (t.rows == 0) {
                ix->map = new_map();
                ix->pages.push_back(allocate_page());
                t.indexes.push_back(std::move(ix));
                order_indexes(t);
                t.dirty = true;
            } else if (target_of[k] < n && drafts[k]->columns == ix->columns &&
                       drafts[k]->flags == ix->flags) {
                KeyTarget& kt = targets[target_of[k]];
                if (kt.error) std::rethrow_exception(kt.error);
                bool clean = flushed;
                flushed = false;
                finish_index(table, std::move(ix), *sorters[k], clean);
            } else {
                // `before` made it another index than the one read for.
                std::string folder = std::filesystem::path(pager_.path()).parent_path().string();
                write::IndexEntrySorter sorter(folder, index_sort_budget_);
                std::vector<KeyTarget> one{KeyTarget{ix.get(), &sorter, {}}};
                collect_keys(table, one);
                if (one[0].error) std::rethrow_exception(one[0].error);
                flushed = false;
                finish_index(table, std::move(ix), sorter, true);
            }
        } catch (...) {
            errors[k] = std::current_exception();
        }
        sorters[k].reset();  // its memory and spill files go now
    }
    return errors;
}

// The keys of the rows already there, read back through the reading half
// from the file as a flush leaves it. Rows are cut into fields and only the
// key columns of the targets decoded: the other values, memo and OLE ones
// above all, are never read for a key. A target that meets a Null in a
// required index gets its error and no more keys; the read ends when every
// target has one.
void DatabaseWriter::collect_keys(TableHandle table, std::vector<KeyTarget>& targets) {
    std::string name = tables_.at(table)->layout.name;
    flush();
    Table& tt = *tables_.at(table);
    auto db = Database::open(pager_.path(), password_);
    TableDef def = db->table_def(name);
    std::vector<std::size_t> position(def.columns.size(), 0);
    for (std::size_t k = 0; k < def.columns.size(); ++k) {
        for (std::size_t i = 0; i < tt.layout.columns.size(); ++i) {
            if (tt.layout.columns[i].name == def.columns[k].name) position[k] = i;
        }
    }
    std::vector<std::size_t> wanted;
    for (std::size_t k = 0; k < position.size(); ++k) {
        bool key = false;
        for (const KeyTarget& kt : targets) {
            for (auto c : kt.ix->columns) key = key || c.first == position[k];
        }
        if (key) wanted.push_back(k);
    }
    std::size_t open = targets.size();
    std::vector<Value> values(tt.layout.columns.size());
    std::vector<RawField> fields;
    PageFile& file = db->file();
    scan_table_bytes(file, def, [&](const RowId& id, std::uint32_t page, std::span<const std::uint8_t> row) {
        split_row(def, row, page, fields);
        for (std::size_t k : wanted) {
            if (k < fields.size()) values[position[k]] = decode_field(file, def, def.columns[k], fields[k], page);
        }
        for (KeyTarget& kt : targets) {
            if (kt.error) continue;
            const IndexState& ixs = *kt.ix;
            bool all_null = std::all_of(ixs.columns.begin(), ixs.columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            bool any_null = std::any_of(ixs.columns.begin(), ixs.columns.end(),
                                        [&](auto c) { return is_null(values[c.first]); });
            if ((ixs.flags & kIndexRequired) && any_null) {
                kt.error = std::make_exception_ptr(Error("Index or primary key cannot contain a Null value."));
                --open;
                continue;
            }
            if ((ixs.flags & kIndexIgnoreNulls) && all_null) continue;
            bool checked = (ixs.flags & kIndexUnique) && !(any_null && !ixs.layout.primary_key);
            kt.sorter->add(index_key(tt, ixs, values), id.page, id.row, !checked);
        }
        return open > 0;
    });
}

// The keys of a new index taken from the tree of one just dropped on the
// same columns and directions of the same table (a unique index that
// becomes the primary key): the tree's entries are the rows' keys, so only
// the new index's rules on nulls and repeats are applied to them, as a read
// of the rows would. Only for keys whose parts all have one length, where a
// part's null flag can be found; false when no tree serves.
bool DatabaseWriter::keys_from_dropped(Table& t, const IndexState& ix, write::IndexEntrySorter& sorter) {
    std::vector<std::size_t> widths;
    for (auto [pos, desc] : ix.columns) {
        std::size_t w = fixed_key_part(t.layout.columns[pos].type);
        if (w == 0) return false;
        widths.push_back(w);
    }
    auto it = std::find_if(dropped_trees_.begin(), dropped_trees_.end(), [&](const DroppedTree& d) {
        return d.table == &t && d.columns == ix.columns &&
               // a tree that left out all-null keys lacks rows the new index may need
               (!(d.flags & kIndexIgnoreNulls) || (ix.flags & kIndexIgnoreNulls));
    });
    if (it == dropped_trees_.end()) return false;
    // The leaves are walked once, page by page (nothing of the tree is held
    // but a page). A key whose parts are not as expected, or a tree that does
    // not walk as it should, sends the build back to the rows: the caller
    // then drops the keys handed over so far.
    const std::uint32_t page_count = pager_.page_count();
    auto walk = [&](const std::function<bool(const IndexEntry&)>& visit) {
        try {
            IndexPage page = decode_index_page(pager_.read(it->first_page), it->first_page, Format::Jet4,
                                               t.layout.name);
            for (int depth = 0; !page.leaf; ++depth) {
                std::uint32_t child = page.entries.empty() ? page.tail : page.entries.front().child;
                if (depth > 32 || child == 0 || child >= page_count) return false;
                page = decode_index_page(pager_.read(child), child, Format::Jet4, t.layout.name);
            }
            for (std::uint32_t steps = 0;; ++steps) {
                for (const IndexEntry& e : page.entries) {
                    if (!visit(e)) return false;
                }
                if (page.next == 0) return true;
                if (steps > page_count || page.next >= page_count) return false;
                std::uint32_t next = page.next;
                page = decode_index_page(pager_.read(next), next, Format::Jet4, t.layout.name);
                if (!page.leaf) return false;
            }
        } catch (const Error&) {
            return false;
        }
    };
    // Whether a key has null parts (any, all); false when its parts are not
    // as expected.
    auto nulls = [&](const IndexEntry& e, bool& any, bool& all) {
        std::size_t at = 0;
        any = false;
        all = true;
        for (std::size_t k = 0; k < widths.size(); ++k) {
            if (at >= e.key.size()) return false;
            const bool desc = ix.columns[k].second;
            const std::uint8_t flag = e.key[at];
            if (flag == (desc ? kKeyDescendingNull : kKeyAscendingNull)) {
                any = true;
                at += 1;
            } else if (flag == (desc ? kKeyDescendingFlag : kKeyAscendingFlag)) {
                all = false;
                at += widths[k];
            } else {
                return false;
            }
        }
        return at == e.key.size();
    };
    std::uint64_t count = 0;
    bool null_in_required = false;
    last_index_from_dropped_ = true;
    if (!walk([&](const IndexEntry& e) {
            bool any_null = false, all_null = false;
            if (!nulls(e, any_null, all_null)) return false;
            ++count;
            // A read of the rows would stop at this row with an error.
            if ((ix.flags & kIndexRequired) && any_null) {
                null_in_required = true;
                return false;
            }
            if ((ix.flags & kIndexIgnoreNulls) && all_null) return true;
            bool checked = (ix.flags & kIndexUnique) && !(any_null && !ix.layout.primary_key);
            sorter.add(e.key, e.row.page, e.row.row, !checked);
            return true;
        }) ||
        count != it->entries) {
        if (null_in_required) throw Error("Index or primary key cannot contain a Null value.");
        last_index_from_dropped_ = false;
        return false;
    }
    return true;
}

// The sorted keys written bottom-up as a B-tree at once, after a flush (the
// pages an earlier failed build gave back are written empty first, so every
// build takes its pages in the same order); the index then lives on its
// pages until a change of the table needs its entries. `flushed`: nothing
// changed since the last flush.
void DatabaseWriter::finish_index(TableHandle table, std::unique_ptr<IndexState> ix,
                                  write::IndexEntrySorter& sorter, bool flushed) {
    if (!flushed) flush();
    Table& tt = *tables_.at(table);
    IndexState& ixs = *ix;
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
    // A tree written as its entries are, whose pages stay as they are until
    // the next flush or allocation, can give a new index on the same columns
    // its keys.
    if (!ix.dirty && ix.first_page && !ix.pages.empty()) {
        dropped_trees_.push_back(DroppedTree{&t, ix.columns, ix.flags, ix.first_page, ix.entry_count()});
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
