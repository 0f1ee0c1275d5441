// Creating a new, empty Jet 4 database: the catalog tables and their rows.
#include "jet/write/create_database.h"

#include <unistd.h>

#include <ctime>

#include "jet/base/error.h"
#include "jet/base/sort_general.h"

namespace jet {

namespace {

constexpr std::int32_t kTablesContainer = 0x0F000001;
constexpr std::int32_t kDatabasesContainer = 0x0F000002;
constexpr std::int32_t kRelationshipsContainer = 0x0F000003;
constexpr std::int32_t kContainerRoot = 0x0F000000;
constexpr std::int32_t kMSysDbId = 0x10000000;
constexpr std::int32_t kSystemObjectFlags = static_cast<std::int32_t>(0x80000000u);

// Access marks every catalog column 0x10, the owner and SID columns 0x30.
constexpr std::uint8_t kSys = 0x10;
constexpr std::uint8_t kSysSid = 0x30;

ColumnSpec sys(std::string name, ColumnType type, int number, std::uint8_t flags = kSys,
               std::uint16_t size = 0) {
    ColumnSpec c;
    c.name = std::move(name);
    c.type = type;
    c.number = number;
    c.extra_flags = flags;
    c.size = size;
    c.compressed = false;
    return c;
}

// Columns in the order the TDEF lists them (by name), with their ids.
TableSpec msys_objects() {
    using T = ColumnType;
    return TableSpec{"MSysObjects",
                     {sys("Connect", T::kMemo, 9), sys("Database", T::kMemo, 8),
                      sys("DateCreate", T::kDateTime, 4), sys("DateUpdate", T::kDateTime, 5),
                      sys("Flags", T::kLong, 7), sys("ForeignName", T::kText, 10),
                      sys("Id", T::kLong, 0), sys("Lv", T::kOle, 13), sys("LvExtra", T::kOle, 16),
                      sys("LvModule", T::kOle, 15), sys("LvProp", T::kOle, 14),
                      sys("Name", T::kText, 2), sys("Owner", T::kBinary, 6, kSysSid, 510),
                      sys("ParentId", T::kLong, 1), sys("RmtInfoLong", T::kOle, 12),
                      sys("RmtInfoShort", T::kBinary, 11, kSys, 510), sys("Type", T::kInteger, 3)}};
}

TableSpec msys_aces() {
    using T = ColumnType;
    return TableSpec{"MSysACEs",
                     {sys("ACM", T::kLong, 2), sys("FInheritable", T::kBoolean, 3),
                      sys("ObjectId", T::kLong, 0), sys("SID", T::kBinary, 1, kSysSid, 510)}};
}

TableSpec msys_queries() {
    using T = ColumnType;
    return TableSpec{"MSysQueries",
                     {sys("Attribute", T::kByte, 1), sys("Expression", T::kMemo, 5),
                      sys("Flag", T::kInteger, 6), sys("LvExtra", T::kLong, 7),
                      sys("Name1", T::kText, 3), sys("Name2", T::kText, 4),
                      sys("ObjectId", T::kLong, 0), sys("Order", T::kBinary, 2, kSys, 510)}};
}

TableSpec msys_relationships() {
    using T = ColumnType;
    return TableSpec{"MSysRelationships",
                     {sys("ccolumn", T::kLong, 2), sys("grbit", T::kLong, 1),
                      sys("icolumn", T::kLong, 3), sys("szColumn", T::kText, 5),
                      sys("szObject", T::kText, 4), sys("szReferencedColumn", T::kText, 7),
                      sys("szReferencedObject", T::kText, 6), sys("szRelationship", T::kText, 0)}};
}

IndexSpec index(std::string name, std::vector<std::string> columns, bool pk, bool unique,
                bool ignore_nulls, bool required) {
    IndexSpec s;
    s.name = std::move(name);
    for (auto& c : columns) s.columns.push_back(IndexColumnSpec{std::move(c), false});
    s.primary_key = pk;
    s.unique = unique;
    s.ignore_nulls = ignore_nulls;
    s.required = required;
    return s;
}

struct AceRow {
    std::int32_t object;
    std::uint8_t sid0, sid1;
    std::int32_t acm;
    bool inheritable;
};

// The access-control rows of a new database: the engine's, the admin
// user's and the users group's rights on the catalog tables, the containers
// and the database object.
constexpr AceRow kAces[] = {
    {2, 0x64, 0x8B, 393216, false},
    {3, 0x64, 0x8B, 393216, false},
    {4, 0x64, 0x8B, 393216, false},
    {5, 0x64, 0x8B, 917504, false},
    {kTablesContainer, 0x65, 0x8E, 983294, true},
    {kTablesContainer, 0x64, 0x8B, 393217, false},
    {kRelationshipsContainer, 0x65, 0x8E, 983294, true},
    {kRelationshipsContainer, 0x64, 0x8B, 393217, false},
    {kDatabasesContainer, 0x64, 0x8B, 393216, false},
    {kMSysDbId, 0x64, 0x8B, 393230, false},
    {kMSysDbId, 0x65, 0x8B, 14, false},
    {4, 0x65, 0x8B, 20, false},
    {5, 0x65, 0x8B, 20, false},
    {2, 0x65, 0x8B, 20, false},
    {kTablesContainer, 0x65, 0x8B, 1048319, true},
    {kRelationshipsContainer, 0x65, 0x8B, 1048575, true},
};

}  // namespace

std::unique_ptr<DatabaseWriter> DatabaseWriter::create(const std::string& path,
                                                       const CreateOptions& options) {
    if (utf8_to_utf16(options.password).size() > 20) {
        throw Error("The database password is longer than 20 characters.");
    }
    if (options.version == FileVersion::kJet3 ||
        static_cast<std::uint8_t>(options.version) > kLastFileVersion) {
        throw Error("New databases are written as Jet 4 or ACE files only.");
    }
    const bool ace = is_ace(options.version);
    if (ace && (!options.password.empty() || options.database_key != 0)) {
        throw Error("An ACE file is protected by encrypting it once it is written, not by a "
                    "password in its header.");
    }
    if (options.sort_order != 1033) {
        throw Error("Only the General sort order (1033) is written, not " +
                    std::to_string(options.sort_order) + ".");
    }
    if (!ace && options.sort_order_version != SortOrderVersion::kGeneralLegacy) {
        throw Error("Jet 4 files have only the General legacy sort order.");
    }
    std::unique_ptr<DatabaseWriter> w(new DatabaseWriter());
    w->version_ = options.version;
    w->sort_order_ = options.sort_order;
    w->sort_order_version_ = options.sort_order_version;
    w->pager_ = PageWriter::create(path, write::kPageSize);
    try {
        w->password_ = options.password;
        if (options.creation_date >= 0) {
            w->creation_date_ = options.creation_date;
        } else {
            // Local time as Jet records it, in whole seconds.
            std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
            y -= m <= 2;
            const long era = (y >= 0 ? y : y - 399) / 400;
            const long yoe = y - era * 400;
            const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
            const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
            const long days = era * 146097 + doe - 719468 + 25569;
            w->creation_date_ =
                static_cast<double>(days) +
                (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec) / 86400.0;
        }
        write::HeaderFields header;
        header.creation_date = w->creation_date_;
        header.password = options.password;
        header.database_key = options.database_key;
        header.version = options.version;
        header.sort_order = options.sort_order;
        header.sort_order_version = static_cast<std::uint8_t>(options.sort_order_version);
        std::uint32_t page0 = w->pager_.allocate();
        w->pager_.write(page0, write::encode_header_page(header));
        w->pager_.set_page_key(options.database_key);
        w->pager_.allocate();  // page 1: the free-page map, written by flush
        std::uint32_t tdefs[4];
        for (auto& p : tdefs) p = w->pager_.allocate();  // pages 2..5, MSysObjects first

        // Each catalog table with its indexes before the next, so the usage
        // maps and index roots lie in the order Jet lays them down.
        TableHandle objects = w->add_table(msys_objects(), true, tdefs[0]);
        w->create_index(objects, index("ParentIdName", {"ParentId", "Name"}, false, true, false, false));
        w->create_index(objects, index("Id", {"Id"}, true, true, false, false));
        TableHandle aces = w->add_table(msys_aces(), true, tdefs[1]);
        w->create_index(aces, index("ObjectId", {"ObjectId"}, false, false, false, true));
        TableHandle queries = w->add_table(msys_queries(), true, tdefs[2]);
        w->create_index(queries, index("ObjectIdAttribute", {"ObjectId", "Attribute", "Order"}, true,
                                       true, false, false));
        TableHandle relationships = w->add_table(msys_relationships(), true, tdefs[3]);
        w->create_index(relationships, index("szRelationship", {"szRelationship"}, false, false, true, false));
        w->create_index(relationships, index("szObject", {"szObject"}, false, false, true, false));
        w->create_index(relationships,
                        index("szReferencedObject", {"szReferencedObject"}, false, false, true, false));

        const write::Bytes engine{0x65, 0x89};
        const write::Bytes admin{0x64, 0x8B};
        w->add_catalog_row("Tables", kTablesContainer, kContainerRoot, 3, kSystemObjectFlags, engine);
        w->add_catalog_row("Databases", kDatabasesContainer, kContainerRoot, 3, kSystemObjectFlags, engine);
        w->add_catalog_row("Relationships", kRelationshipsContainer, kContainerRoot, 3,
                           kSystemObjectFlags, engine);
        w->add_catalog_row("MSysDb", kMSysDbId, kDatabasesContainer, 2, kSystemObjectFlags, admin);
        const char* names[] = {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"};
        for (int i = 0; i < 4; ++i) {
            w->add_catalog_row(names[i], static_cast<std::int32_t>(tdefs[i]), kTablesContainer, 1,
                               kSystemObjectFlags, engine);
        }
        const TableSpec& ace_spec = w->table_spec(aces);
        for (const AceRow& a : kAces) {
            std::vector<Value> values(ace_spec.columns.size());
            for (std::size_t i = 0; i < ace_spec.columns.size(); ++i) {
                const std::string& c = ace_spec.columns[i].name;
                if (c == "ObjectId") values[i] = a.object;
                else if (c == "SID") values[i] = write::Bytes{a.sid0, a.sid1};
                else if (c == "ACM") values[i] = a.acm;
                else if (c == "FInheritable") values[i] = a.inheritable;
            }
            w->insert_row(aces, values);
        }
        w->flush();
    } catch (...) {
        std::string p = w->pager_.path();
        w->closed_ = true;
        w->pager_ = PageWriter{};
        ::unlink(p.c_str());
        throw;
    }
    return w;
}

std::unique_ptr<DatabaseWriter> create_database(const std::string& path,
                                                const CreateOptions& options) {
    return DatabaseWriter::create(path, options);
}

}  // namespace jet
