// Carrying a source database's objects into a target whose tables were
// copied and indexed already: relationships, stored queries, linked tables,
// Access's own objects (its tables, containers and documents, their access
// rights) and the properties of the database and its objects.
//
// The target is one this engine wrote; it is opened for writing in place.
// Objects keep their catalog Id, except tables, whose Id is the page of
// their definition: every reference to a table's Id (ParentId, the
// ObjectId of MSysQueries and MSysACEs, Access's navigation tables) follows
// its new Id, and an Id the target already uses for another object is
// replaced by a free one the same way. Each kind reports the objects it
// could not carry and goes on with the next.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jet {

class Database;

// A property document (the LvProp of a catalog row) of a Jet 3 file, whose
// names and texts are bytes of the file's code page, in the form of a
// Jet 4 file, whose names and texts are UTF-16: the same properties in the
// same order. Chunks it does not know pass unchanged; a document that is
// not a Jet 3 one, or is cut short, comes back as it was.
std::vector<std::uint8_t> jet3_properties_to_jet4(std::span<const std::uint8_t> document,
                                                  unsigned code_page);
class DatabaseWriter;

struct RestoreFailure {
    std::string object;   // the object's name
    std::string message;  // why
};

class ObjectRestorer {
public:
    // Throws jet::Error when either file does not open (the target also when
    // this writer cannot write it in place).
    ObjectRestorer(const std::string& source, std::string_view source_password,
                   const std::string& target, std::string_view target_password);
    ~ObjectRestorer();
    ObjectRestorer(const ObjectRestorer&) = delete;
    ObjectRestorer& operator=(const ObjectRestorer&) = delete;

    using EachObject = std::function<void(const std::string& name)>;

    // Access's own tables (MSysAccessObjects, MSysModules, MSysIMEXSpecs, ...)
    // with their rows and indexes, the containers and documents (forms,
    // reports, macros, modules, ...) and the access rights of what it adds.
    // Run it first: the other kinds look for parents it restores.
    std::vector<RestoreFailure> access_objects();
    // ACE: the tables that hold complex columns' values (MSysComplexColumns,
    // the templates, the flat tables, Access's tables with complex columns)
    // alone, for a copy of the tables without the rest of the objects: the
    // complex values are data. access_objects() carries them besides.
    std::vector<RestoreFailure> complex_data();
    // Stored queries of every kind: catalog rows and their MSysQueries rows.
    std::vector<RestoreFailure> queries(const EachObject& each = {});
    // Linked tables: their catalog rows with Connect and ForeignName.
    std::vector<RestoreFailure> linked_tables(const EachObject& each = {});
    // Relationships: catalog rows, MSysRelationships rows and the logical
    // indexes of both sides in the tables' definitions. A relationship
    // whose tables or columns the target lacks is reported and left out.
    std::vector<RestoreFailure> relationships();
    // Properties (LvProp) of the database and of the objects both files
    // have: tables with their columns, queries, containers.
    std::vector<RestoreFailure> properties();

    // Writes everything and closes the target.
    void close();

    // What a source's table Id became in the target (tables only).
    std::int32_t target_id(std::int32_t source_id) const;

private:
    void carry_tables(bool complex_only, std::vector<RestoreFailure>& failures);
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace jet
