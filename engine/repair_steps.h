// The steps of a repair run, called by Repair_Mdb in this order:
// Create_Target_Db, Read_Tab_List, Read_Index_List, Copy_Tables,
// Rebuild_Indexes and, unless the run is for tables only, Restore_Design.
// Each returns 1 to go on and 0 to stop; a step that returns 0 has already
// written its own line through Print_Msg.
//
// Every step that reads or writes a database opens its own TDb_Connect_Ado
// (kind 6, user "admin") and works on its provider connection (ado_conn)
// directly. Paths are the run's path fields (PATH_FIELD_SIZE bytes), passwords
// its 200-byte fields (at most 199 bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ot_array.h"
#include "stdclass/path_size.h"

// Fixed widths of the working buffers of the steps, with their terminators.
// The catalog's connection string: 74 bytes of template, the password (at
// most 199 bytes) and the path.
constexpr int CREATE_CONN_STR_SIZE = PATH_FIELD_SIZE + 300;
constexpr int SCHEMA_TEXT_SIZE = 100;        // one TABLES value as text
constexpr int SCHEMA_INDEX_TEXT_SIZE = 200;  // one INDEXES value as text
// One make-table statement: the source path, the password and the table name
// twice (bracketed) besides 40 bytes of its own.
constexpr int COPY_SQL_SIZE = PATH_FIELD_SIZE + 1024;
constexpr int INDEX_COLUMNS_SIZE = 1224;     // the column list of one index
constexpr int INDEX_SQL_SIZE = 300;          // one index statement

// The file format of a new database: Jet 4 (the default, and what a Jet 3
// source becomes), or an ACE file of the source's version byte (2 ACE12 ...
// 6 ACE17) with the source's sort order and its version (header byte 0x71).
struct Target_Db_Format {
    int ace_version = 0;       // 0: Jet 4
    unsigned sort_order = 0;   // ACE only: 0 = the writer's default (1033)
    int sort_order_version = 0;
};

// The provider's creation properties for `format` (empty for Jet 4): the
// file version and the sort order, as `Create_Target_Db` passes them on.
std::string Target_Format_Properties(const Target_Db_Format& format);

// A new, empty database at target, protected by password (none when empty),
// in `format`.
int Create_Target_Db(const char* target, const char* password,
                     const Target_Db_Format& format = {});

// Appends one record per row of the source's TABLES schema, in rowset order.
int Read_Tab_List(const char* source, const char* password, OT_Array<Mdb_Tab_Stru>& tabs);

// Appends one record per row of the source's INDEXES schema, in rowset order.
int Read_Index_List(const char* source, const char* password, OT_Array<Mdb_Index_Stru>& indexes);

// Copies every user table ("TABLE" type) of tabs from source into target, one
// make-table statement each, in one transaction committed at the end.
int Copy_Tables(const char* target, const char* target_password, const char* source,
                const char* source_password, const OT_Array<Mdb_Tab_Stru>& tabs);

// Creates on target one index per index of the user tables of tabs, gathered
// from the column rows of indexes (whose is_done marks the rows used).
int Rebuild_Indexes(const char* target, const char* password, const OT_Array<Mdb_Tab_Stru>& tabs,
                    OT_Array<Mdb_Index_Stru>& indexes);

class TDb_Connect_Ado;

// What a sub-step of Restore_Design works with: the connection to the
// target (in its transaction), the source and the run's table list.
struct Restore_Context {
    TDb_Connect_Ado& conn;
    const char* source;
    const char* source_password;
    const OT_Array<Mdb_Tab_Stru>& tabs;
};

// Step six: gives the target what the make-table copies and the index
// statements left out, from the source, one sub-step per kind of design
// (each with its own line). A failure is reported ("******** 恢复 %s 出错了
// *********"), raises Copy_Err_Flag, and the step goes on; 0 only when the
// target cannot be opened.
int Restore_Design(const char* target, const char* target_password, const char* source,
                   const char* source_password, const OT_Array<Mdb_Tab_Stru>& tabs);
// After Rebuild_Indexes: relationships, stored queries, linked tables,
// Access's own objects (forms, reports, macros, modules, their tables) and
// the properties of the database and its objects, from source into target.
// One line per kind (and per query or link); an object that fails is
// reported ("******** 恢复 %s 出错了 *********"), raises Copy_Err_Flag, and
// the step goes on. Always returns 1: the tables are there either way.
int Restore_Objects(const char* target, const char* target_password, const char* source,
                    const char* source_password);

// For a run of the tables alone from an ACE source: the values of complex
// columns (attachments, multi-value lists, version histories), which live in
// tables of their own (MSysComplexColumns, the templates, the flat tables),
// without the rest of the objects. No line of its own; a table that fails is
// reported as Restore_Objects reports it. Always returns 1.
int Restore_Complex_Data(const char* target, const char* target_password, const char* source,
                         const char* source_password);

// A table, index or column name as it goes into a statement: in brackets,
// so that names with blanks and other characters survive. Writes into out
// (size bytes); 0 when it does not fit.
int Bracket_Name(char* out, int size, const char* name);

namespace provider {
struct CopyLosses;
}
// Writes what a table's salvaging copy left out ("表 %s 有 %d 行无法读取，已跳过",
// "表 %s 有 %d 个长数据值无法读取，已置为空") and raises Copy_Err_Flag; 1 when
// anything was lost, 0 (and no line) when nothing was.
int Report_Copy_Losses(const char* tab_name, const provider::CopyLosses& losses);

// 1 when a table record names a user table: its type begins with "TABLE".
int Is_User_Table(const Mdb_Tab_Stru& tab);

// What the copy step did with one user table, for a report of the run.
struct Copy_Table_Result {
    std::string name;
    bool failed = false;  // the statement failed: nothing of the table was kept
    std::uint64_t rows_declared = 0;  // as the source's table definition counts them
    std::uint64_t rows_copied = 0;
    std::uint64_t rows_skipped = 0;  // unreadable rows, those on unreadable pages included
    std::uint64_t values_nulled = 0;
    std::uint64_t pages_skipped = 0;
    bool pages_by_owner = false;  // the usage map was damaged: pages found by their owner
};

// One record per user table Copy_Tables went to, in its order; emptied when
// a run starts.
extern std::vector<Copy_Table_Result> Copy_Results;
