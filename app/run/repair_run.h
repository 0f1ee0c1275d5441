// The repair run: the one operation the window and the command line start.
//
// Repair_Mdb prepares a clean target and calls the engine steps in their
// fixed order (the sixth, the restored design, unless the run is for tables
// only), stopping at the first that fails; every line for the user goes
// through Print_Msg to the installed Msg_Sink, and Copy_Err_Flag tells whether
// a single table or index failed on the way.
#pragma once

#include <cstdint>
#include <string>

#include "engine/print_msg.h"
#include "engine/repair_steps.h"
#include "stdclass/path_size.h"

// Source and target path each travel in a field of REPAIR_PATH_SIZE bytes,
// which holds any path the system takes; the password in one of
// REPAIR_FIELD_SIZE bytes (at most 199 bytes of text and the terminator).
constexpr int REPAIR_PATH_SIZE = PATH_FIELD_SIZE;
constexpr int REPAIR_FIELD_SIZE = 200;

// The database password of the Zolvak product's own databases.
inline constexpr const char* ZOLVAK_DB_PASSWORD = "qarvex";

// Lines written when an input does not fit its field (nothing is cut), and
// when the target names the source file itself.
static_assert(REPAIR_PATH_SIZE == 4096, "the path lines below name the limit");
inline constexpr const char* REPAIR_MSG_SOURCE_TOO_LONG = "原始数据库文件名超过4095字节，无法处理";
inline constexpr const char* REPAIR_MSG_TARGET_TOO_LONG = "新的数据库文件名超过4095字节，无法处理";
inline constexpr const char* REPAIR_MSG_PASSWORD_TOO_LONG = "数据库密码超过199字节，无法处理";
inline constexpr const char* REPAIR_MSG_TARGET_IS_SOURCE =
    "新的数据库文件%s就是原始数据库文件，请另选保存数据库文件";

// The completion line that says how the new file is protected.
inline constexpr const char* REPAIR_MSG_NO_PASSWORD = "新的数据库文件没有密码";
inline constexpr const char* REPAIR_MSG_SAME_PASSWORD = "新的数据库文件使用与原始数据库相同的密码";

// The password the new file gets: the one stored in the source's header
// (empty when the source has none); for an ACE source, the given password
// when the source is encrypted with it, none otherwise; the given password
// when the source cannot be read.
std::string Repair_Target_Password(const char* source, const char* password);

// The format the new file gets: the source's own for an ACE source
// (version byte, sort order and its version; encrypted or not, read from the
// header page), Jet 4 for Jet 3 and Jet 4 sources and unreadable files.
Target_Db_Format Repair_Source_Format(const char* source, const char* password);

// The database key of an RC4-encoded Jet source (0 when its pages are plain
// or it cannot be read); the new file is encoded with the same key. An ACE
// source's non-zero key means Office encryption instead (the target is
// encrypted with the password at the end of the run).
std::uint32_t Repair_Source_Key(const char* source, const char* password);

// The line written when a signal ends a run, and the exit status then.
inline constexpr const char* REPAIR_MSG_INTERRUPTED = "修复已中断，未生成新的数据库文件";
constexpr int REPAIR_EXIT_INTERRUPTED = 130;

// Makes SIGINT, SIGTERM and SIGHUP during a run remove the temporary file the
// run writes, write REPAIR_MSG_INTERRUPTED and a line end to line_fd (none
// when -1) after "\r\033[K" to clear_fd (a terminal line to wipe; none when
// -1), and end the process with REPAIR_EXIT_INTERRUPTED. Outside a run the
// signals keep their usual effect.
void Repair_Catch_Signals(int line_fd, int clear_fd);

// Why the last run failed, for a front end that can say more than the log
// ("cannot create /x/y.mdb: No such file or directory"); empty when the log
// says all or the run succeeded.
const char* Repair_Failure_Reason();

// Whether a run that got through its steps ends with its summary lines
// (tables and rows copied, indexes made, what the new file holds against the
// source, file sizes, time taken) after the completion lines; on by default.
void Repair_Set_Summary(bool on);

// Whether a run stops after the five steps of the plain copy (tables by
// make-table, indexes by statement), leaving out the restored design; off
// by default.
void Repair_Set_Tables_Only(bool on);

// 1 when the repair completed without any failed statement, 0 otherwise.
// Refuses, with a line and before anything is deleted, inputs longer than
// their fields and a target that is the source file itself.
//
// The new database is written under a temporary name beside the target and
// renamed to the target once the completion lines are written (or once a
// failing step has stopped the run, which leaves what it reached).
int Repair_Mdb(const char* source, const char* password, const char* target);

// Repairs source in place: into a temporary file beside it, then, only when
// the run succeeded, the original is kept as SOURCE.bak and the new file
// takes the name SOURCE by one rename. A failed run leaves source alone.
int Repair_Mdb_Replace(const char* source, const char* password);

// The run behind both: target is ignored (source is the target) when replace
// is set.
int Repair_Run(const char* source, const char* password, const char* target, bool replace);

// Copies text into a field of size bytes (REPAIR_PATH_SIZE or
// REPAIR_FIELD_SIZE); 0 (field unchanged) when it does not fit.
int Repair_Fill_Field(char* field, int size, const char* text);

// 1 when target names the same file as source: the same device and inode when
// both exist (symbolic and hard links included), or the same absolute path
// once symbolic links in the existing part of both paths are resolved.
int Repair_Same_File(const char* source, const char* target);
