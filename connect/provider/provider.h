// The provider: the data-access object model the connections and the repair
// steps speak to (a catalog that creates databases, a connection with
// transactions, statements and schema rowsets, and rowsets), over this
// project's own Jet engine.
//
// Every failure is a provider::Error carrying the message text a caller
// prints or shows; the texts follow the ones the Jet engine gives for the
// same failure wherever the engine has one.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace provider {

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The provider name a connection string must carry.
inline constexpr std::string_view kJetProvider = "Microsoft.Jet.OLEDB.4.0";

// Messages of the object model itself (not of the engine).
inline constexpr std::string_view kMsgNoProvider =
    "Provider cannot be found. It may not be properly installed.";
inline constexpr std::string_view kMsgObjectOpen =
    "Operation is not allowed when the object is open.";
inline constexpr std::string_view kMsgObjectClosed =
    "Operation is not allowed when the object is closed.";
inline constexpr std::string_view kMsgNoTransaction = "No transaction is active.";
inline constexpr std::string_view kMsgBadAccount = "Not a valid account name or password.";
inline constexpr std::string_view kMsgDatabaseExists = "Database already exists.";
inline constexpr std::string_view kMsgEof =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.";
inline constexpr std::string_view kMsgNoField =
    "Item cannot be found in the collection corresponding to the requested name or ordinal.";
inline constexpr std::string_view kMsgReadOnly =
    "Current Recordset does not support updating. This may be a limitation of the provider, or "
    "of the selected locktype.";
inline constexpr std::string_view kMsgBadSchema =
    "Object or provider is not capable of performing requested operation.";

// What a salvaging make-table copy (Connection::set_salvage) had to leave
// out of the last statement: rows that did not read, memo/OLE values that
// became null, pages that could not be read at all; and the row count the
// source's table definition declares against the rows copied.
struct CopyLosses {
    std::uint64_t rows_declared = 0;
    std::uint64_t rows_copied = 0;
    std::uint64_t rows_skipped = 0;
    std::uint64_t values_nulled = 0;
    std::uint64_t pages_skipped = 0;
    bool pages_by_owner = false;  // the usage map was damaged
    // Rows the definition declares that were neither copied nor counted
    // as skipped: a damaged slot table can make a row look deleted. The
    // declared count is sometimes stale, but only ever low.
    std::uint64_t rows_unaccounted() const {
        return rows_declared > rows_copied + rows_skipped ? rows_declared - rows_copied - rows_skipped : 0;
    }
    bool any() const { return rows_skipped || values_nulled || pages_skipped || rows_unaccounted(); }
};

// Schema rowsets (the numbers of the schema enumeration).
enum class Schema : int { kIndexes = 12, kTables = 20 };

// Field types, numbered as the data-type enumeration numbers them.
enum class DataType : int {
    kEmpty = 0,
    kSmallInt = 2,
    kInteger = 3,
    kSingle = 4,
    kDouble = 5,
    kCurrency = 6,
    kDate = 7,
    kBoolean = 11,
    kDecimal = 14,
    kUnsignedTinyInt = 17,
    kUnsignedSmallInt = 18,
    kUnsignedInt = 19,
    kUnsignedBigInt = 21,
    kGuid = 72,
    kWChar = 130,
    kNumeric = 131,
    kVarWChar = 202,
    kLongVarWChar = 203,
    kVarBinary = 204,
    kLongVarBinary = 205,
};

// The keys of a connection string, parsed as the object model parses them:
// `;`-separated `name=value` pairs, names compared without regard to case and
// surrounding blanks, values trimmed and optionally quoted with " or ' (a
// quoted value may hold `;`). A later key replaces an earlier one.
struct ConnectionProperties {
    std::string provider;
    std::string data_source;
    std::string user_id;            // empty = "admin"
    std::string password;           // the user's password
    std::string database_password;  // "Jet OLEDB:Database Password"
    bool persist_security_info = false;
    bool has_provider = false;
    std::map<std::string, std::string> other;  // unknown keys, lower-case names

    // Throws Error(kMsgNoProvider) unless the provider is the Jet provider.
    void require_jet_provider() const;
};

// Throws Error for a pair without "=" or with an empty name, and for an
// unterminated quote.
ConnectionProperties parse_connection_string(std::string_view text);

}  // namespace provider
