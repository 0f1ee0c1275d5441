// A relationship's logical indexes: the foreign side gets a B-tree of its
// own or shares one on the same columns, the referenced side shares its
// key's; both name each other by number and page, which survive the other
// side's indexes being renumbered, and a file with them opens for writing
// in place and is written back unchanged.
#include <gtest/gtest.h>

#include "jet/base/error.h"
#include "jet/table/database.h"
#include "jet/write/create_database.h"
#include "jet/write/writer.h"
#include "scratch_dir.h"

namespace {

using jet::ColumnType;

const jet::Index* find(const jet::TableDef& def, const std::string& name) {
    for (const auto& ix : def.indexes) {
        if (ix.name == name) return &ix;
    }
    return nullptr;
}

TEST(RelationshipIndexes, BothSidesNameEachOtherAndReopen) {
    zolvak_test::ScratchDir dir("rel");
    const std::string path = dir.file("r.mdb");
    {
        auto w = jet::create_database(path);
        auto parent = w->create_table({"Parent", {{.name = "Id", .type = ColumnType::kLong}}});
        auto child = w->create_table({"Child", {{.name = "Id", .type = ColumnType::kLong},
                                                {.name = "ParentId", .type = ColumnType::kLong},
                                                {.name = "Other", .type = ColumnType::kLong}}});
        w->insert_row(parent, std::vector<jet::Value>{std::int32_t{1}});
        w->insert_row(child, std::vector<jet::Value>{std::int32_t{1}, std::int32_t{1}, std::int32_t{5}});
        // A plain index on the key's column too: the referenced side
        // shares the key's B-tree, not this one.
        w->create_index(parent, {.name = "IdPlain", .columns = {{"Id"}}});
        w->create_index(parent, {.name = "PrimaryKey", .columns = {{"Id"}}, .primary_key = true});
        w->create_index(child, {.name = "Other", .columns = {{"Other"}}});
        w->add_relationship_index(parent, {.name = ".rB", .columns = {{"Id"}}, .referenced_side = true,
                                           .other_table = "Child", .other_index = "ParentChild",
                                           .cascade_deletes = true});
        w->add_relationship_index(child, {.name = "ParentChild", .columns = {{"ParentId"}},
                                          .other_table = "Parent", .other_index = ".rB",
                                          .cascade_deletes = true});
        // A shared index on an existing B-tree, then a new real index: the
        // shared one's number moves and the other side follows.
        w->add_relationship_index(child, {.name = "OtherLink", .columns = {{"Other"}},
                                          .other_table = "Parent", .other_index = ".rB"});
        w->create_index(child, {.name = "Id", .columns = {{"Id"}}});
        EXPECT_THROW(w->drop_index(child, "Other"), jet::Error);  // shared by OtherLink
        EXPECT_THROW(w->drop_table(parent), jet::Error);
        w->close();
    }
    auto db = jet::Database::open(path);
    const jet::TableDef parent = db->table_def("Parent");
    const jet::TableDef child = db->table_def("Child");
    const jet::Index* rb = find(parent, ".rB");
    const jet::Index* fk = find(child, "ParentChild");
    const jet::Index* shared = find(child, "OtherLink");
    ASSERT_TRUE(rb && fk && shared);
    EXPECT_TRUE(rb->foreign_key());
    EXPECT_EQ(rb->rel_table_type, jet::kRelationReferenced);
    EXPECT_EQ(rb->real_index, find(parent, "PrimaryKey")->real_index);
    EXPECT_EQ(rb->rel_table_page, child.tdef_page);
    EXPECT_EQ(static_cast<std::uint32_t>(rb->rel_index_number), fk->index_number);
    EXPECT_EQ(fk->rel_table_type, jet::kRelationForeign);
    EXPECT_EQ(fk->rel_table_page, parent.tdef_page);
    EXPECT_EQ(static_cast<std::uint32_t>(fk->rel_index_number), rb->index_number);
    EXPECT_TRUE(fk->cascade_deletes);
    EXPECT_FALSE(fk->cascade_updates);
    EXPECT_EQ(shared->real_index, find(child, "Other")->real_index);
    EXPECT_EQ(shared->index_number, child.real_indexes.size());  // after the real ones
    // Plain indexes and keys are numbered before the B-trees relationships
    // own, whatever order they were made in (Id was made after ParentChild).
    for (const auto& ix : child.indexes) {
        if (!ix.foreign_key()) { EXPECT_LT(ix.index_number, fk->index_number) << ix.name; }
    }
    // Opened again, the writer proves it would write every page back as it
    // is, and keeps the links through a change.
    auto w = jet::DatabaseWriter::open(path, "");
    w->insert_row(w->table("Child"),
                  std::vector<jet::Value>{std::int32_t{2}, std::int32_t{1}, std::int32_t{6}});
    w->close();
    EXPECT_NO_THROW(jet::DatabaseWriter::open(path, "")->close());
    auto again = jet::Database::open(path);
    EXPECT_EQ(find(again->table_def("Child"), "ParentChild")->rel_index_number, fk->rel_index_number);
}

}  // namespace
