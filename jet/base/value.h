// Column types and decoded values.
//
// A Value is what a row scan yields for one cell: the engine's only view of
// data outside the page decoders. Texts are UTF-8 whatever the file stored;
// numbers keep their Jet width so a copy into another file loses nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace jet {

// The type byte of a TDEF column entry.
enum class ColumnType : std::uint8_t {
    kBoolean = 0x01,
    kByte = 0x02,
    kInteger = 0x03,   // 16 bit
    kLong = 0x04,      // 32 bit
    kCurrency = 0x05,  // int64 scaled by 10^4
    kSingle = 0x06,
    kDouble = 0x07,
    kDateTime = 0x08,
    kBinary = 0x09,
    kText = 0x0A,
    kOle = 0x0B,
    kMemo = 0x0C,
    kGuid = 0x0F,     // Replication ID
    kNumeric = 0x10,  // scaled decimal, 17 bytes
    // ACE only:
    kComplex = 0x12,         // attachment, multi-value or version history: the row holds an id
    kBigInt = 0x13,          // Large Number, 8-byte signed integer
    kDateTimeExt = 0x14,     // Date/Time Extended, 42 bytes of ASCII digits
};

// "Boolean", "Long Integer", "Memo/Hyperlink", ... as the inventory prints
// them; "Unknown 0xNN" for a type byte the engine does not know.
std::string column_type_name(std::uint8_t type);
bool is_known_column_type(std::uint8_t type);
// Byte width of a fixed-length type, 0 for variable ones.
std::size_t fixed_type_size(ColumnType type);

struct Null {
    friend bool operator==(const Null&, const Null&) = default;
};
struct Currency {
    std::int64_t scaled = 0;  // value * 10000
    friend bool operator==(const Currency&, const Currency&) = default;
};
struct DateTime {
    double days = 0;  // days since 1899-12-30, time as the fraction
    friend bool operator==(const DateTime&, const DateTime&) = default;
};
struct Guid {
    std::array<std::uint8_t, 16> bytes{};  // as stored (first three groups little-endian)
    friend bool operator==(const Guid&, const Guid&) = default;
};
struct Decimal {
    bool negative = false;
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    std::array<std::uint8_t, 16> magnitude{};  // unsigned integer, big-endian
    friend bool operator==(const Decimal&, const Decimal&) = default;
};
// A Date/Time Extended value: 0001-01-01 onwards, 100-nanosecond steps.
struct DateTimeExt {
    std::int64_t days = 0;         // days since 0001-01-01
    std::int64_t seconds = 0;      // seconds of the day
    std::uint32_t fraction = 0;    // 100-ns units within the second (0..9999999)
    friend bool operator==(const DateTimeExt&, const DateTimeExt&) = default;
};
using Bytes = std::vector<std::uint8_t>;

// Boolean -> bool, Byte -> uint8_t, Integer -> int16_t, Long -> int32_t,
// Single -> float, Double -> double, Text/Memo -> std::string (UTF-8),
// Binary/OLE -> Bytes, Large Number -> int64_t, Date/Time Extended ->
// DateTimeExt, Complex -> int32_t (the complex value id; the values
// themselves live in the column's flat table, see jet/table/complex.h).
using Value = std::variant<Null, bool, std::uint8_t, std::int16_t, std::int32_t, Currency, float,
                           double, DateTime, std::string, Bytes, Guid, Decimal, std::int64_t,
                           DateTimeExt>;

inline bool is_null(const Value& v) { return std::holds_alternative<Null>(v); }

// A Byte, Integer or Long value as a number; 0 for anything else (NULL
// included). For system-table columns whose type the reader knows.
inline std::int64_t integer_or_zero(const Value& v) {
    if (auto p = std::get_if<std::int32_t>(&v)) return *p;
    if (auto p = std::get_if<std::int16_t>(&v)) return *p;
    if (auto p = std::get_if<std::uint8_t>(&v)) return *p;
    return 0;
}

// A text value; empty for anything else.
inline std::string text_or_empty(const Value& v) {
    if (auto p = std::get_if<std::string>(&v)) return *p;
    return {};
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
std::string guid_text(const Guid& guid);
// "-123.4500": the decimal with its scale, no exponent.
std::string decimal_text(const Decimal& d);
// "12.3400": currency with four decimals.
std::string currency_text(Currency c);

// A civil date and time from a Jet date (days since 1899-12-30; negative
// values count back the date while the fraction still counts forward).
struct CivilTime {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
};
CivilTime civil_time(DateTime value);
// "YYYY-MM-DD HH:MM:SS", seconds rounded to the nearest whole second.
std::string datetime_text(DateTime value);

// Date/Time Extended. decode_datetime_ext reads the stored form
// "DDDDDDDDDDDDDDDDDDD:SSSSSSSSSSSSFFFFFFF:7" (days since 0001-01-01, seconds
// of the day and 100-ns units, precision); nullopt when it is not that.
std::optional<DateTimeExt> decode_datetime_ext(std::span<const std::uint8_t> stored);
inline constexpr std::size_t kDateTimeExtSize = 42;
// The stored form again (precision 7, a NUL at the end).
std::array<std::uint8_t, kDateTimeExtSize> encode_datetime_ext(const DateTimeExt& value);
// The civil date of a Date/Time Extended value (proleptic Gregorian).
CivilTime civil_time(const DateTimeExt& value);
// "YYYY-MM-DD HH:MM:SS.FFFFFFF", every digit kept.
std::string datetime_ext_text(const DateTimeExt& value);
// The form Access shows: "M/D/YYYY" at midnight, else
// "M/D/YYYY h:mm:ss.FFFFFFF AM|PM".
std::string datetime_ext_display(const DateTimeExt& value);

}  // namespace jet
