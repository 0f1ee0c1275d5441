// Column type names and the text forms of values.
#include "jet/base/value.h"

#include <cstring>

#include <cmath>
#include <cstdio>

namespace jet {

bool is_known_column_type(std::uint8_t type) {
    return (type >= 0x01 && type <= 0x0C) || type == 0x0F || type == 0x10;
}

std::string column_type_name(std::uint8_t type) {
    switch (static_cast<ColumnType>(type)) {
        case ColumnType::kBoolean: return "Boolean";
        case ColumnType::kByte: return "Byte";
        case ColumnType::kInteger: return "Integer";
        case ColumnType::kLong: return "Long Integer";
        case ColumnType::kCurrency: return "Currency";
        case ColumnType::kSingle: return "Single";
        case ColumnType::kDouble: return "Double";
        case ColumnType::kDateTime: return "DateTime";
        case ColumnType::kBinary: return "Binary";
        case ColumnType::kText: return "Text";
        case ColumnType::kOle: return "OLE";
        case ColumnType::kMemo: return "Memo/Hyperlink";
        case ColumnType::kGuid: return "Replication ID";
        case ColumnType::kNumeric: return "Numeric";
        case ColumnType::kComplex: return "Complex";
        case ColumnType::kBigInt: return "Large Number";
        case ColumnType::kDateTimeExt: return "Date/Time Extended";
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "Unknown 0x%02X", type);
    return buf;
}

std::size_t fixed_type_size(ColumnType type) {
    switch (type) {
        case ColumnType::kBoolean: return 0;  // lives in the null mask
        case ColumnType::kByte: return 1;
        case ColumnType::kInteger: return 2;
        case ColumnType::kLong: return 4;
        case ColumnType::kCurrency: return 8;
        case ColumnType::kSingle: return 4;
        case ColumnType::kDouble: return 8;
        case ColumnType::kDateTime: return 8;
        case ColumnType::kGuid: return 16;
        case ColumnType::kNumeric: return 17;
        case ColumnType::kComplex: return 4;
        case ColumnType::kBigInt: return 8;
        case ColumnType::kDateTimeExt: return 42;
        default: return 0;
    }
}

std::string guid_text(const Guid& g) {
    const auto& b = g.bytes;
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return buf;
}

std::string decimal_text(const Decimal& d) {
    // Repeated division of the 128-bit magnitude by 10, byte by byte.
    std::array<std::uint8_t, 16> n = d.magnitude;
    std::string digits;
    bool zero = false;
    while (!zero) {
        unsigned rem = 0;
        zero = true;
        for (auto& byte : n) {
            unsigned cur = (rem << 8) | byte;
            byte = static_cast<std::uint8_t>(cur / 10);
            rem = cur % 10;
            if (byte) zero = false;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + rem));
    }
    while (digits.size() <= d.scale) digits.insert(digits.begin(), '0');
    if (d.scale) digits.insert(digits.end() - d.scale, '.');
    bool all_zero = digits.find_first_not_of("0.") == std::string::npos;
    return (d.negative && !all_zero ? "-" : "") + digits;
}

std::string currency_text(Currency c) {
    std::uint64_t mag = c.scaled < 0 ? 0 - static_cast<std::uint64_t>(c.scaled)
                                     : static_cast<std::uint64_t>(c.scaled);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s%llu.%04llu", c.scaled < 0 ? "-" : "",
                  static_cast<unsigned long long>(mag / 10000),
                  static_cast<unsigned long long>(mag % 10000));
    return buf;
}

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date.
void civil_from_days(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

}  // namespace

CivilTime civil_time(DateTime value) {
    CivilTime t;
    double v = value.days;
    if (!std::isfinite(v) || std::fabs(v) > 3.0e6) return t;
    double whole = std::trunc(v);
    long long day = static_cast<long long>(whole);
    long long secs = std::llround(std::fabs(v - whole) * 86400.0);
    if (secs >= 86400) {
        secs -= 86400;
        day += 1;
    }
    civil_from_days(day - 25569, t.year, t.month, t.day);
    t.hour = static_cast<int>(secs / 3600);
    t.minute = static_cast<int>(secs / 60 % 60);
    t.second = static_cast<int>(secs % 60);
    return t;
}

std::string datetime_text(DateTime value) {
    CivilTime t = civil_time(value);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

namespace {

// Days from 0001-01-01 to 1970-01-01 in the proleptic Gregorian calendar.
constexpr std::int64_t kDaysToUnixEpoch = 719162;
// The last day a four-digit year reaches (9999-12-31).
constexpr std::int64_t kLastExtDay = 3652058;

bool digits(std::span<const std::uint8_t> b, std::size_t from, std::size_t count, std::int64_t& out) {
    out = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (b[i] < '0' || b[i] > '9') return false;
        out = out * 10 + (b[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<DateTimeExt> decode_datetime_ext(std::span<const std::uint8_t> b) {
    // 19 digits of days, ':', 12 digits of seconds and 7 of 100-ns units, ':', precision.
    if (b.size() < 41 || b[19] != ':' || b[39] != ':') return std::nullopt;
    DateTimeExt v;
    std::int64_t fraction = 0;
    if (!digits(b, 0, 19, v.days) || !digits(b, 20, 12, v.seconds) || !digits(b, 32, 7, fraction))
        return std::nullopt;
    if (v.days > kLastExtDay || v.seconds >= 86400) return std::nullopt;
    v.fraction = static_cast<std::uint32_t>(fraction);
    return v;
}

std::array<std::uint8_t, kDateTimeExtSize> encode_datetime_ext(const DateTimeExt& value) {
    std::array<std::uint8_t, kDateTimeExtSize> out{};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%019lld:%012lld%07u:7", static_cast<long long>(value.days),
                  static_cast<long long>(value.seconds), static_cast<unsigned>(value.fraction));
    std::memcpy(out.data(), buf, kDateTimeExtSize - 1);
    return out;
}

CivilTime civil_time(const DateTimeExt& value) {
    CivilTime t;
    civil_from_days(value.days - kDaysToUnixEpoch, t.year, t.month, t.day);
    t.hour = static_cast<int>(value.seconds / 3600);
    t.minute = static_cast<int>(value.seconds / 60 % 60);
    t.second = static_cast<int>(value.seconds % 60);
    return t;
}

std::string datetime_ext_text(const DateTimeExt& value) {
    const CivilTime t = civil_time(value);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%07u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, static_cast<unsigned>(value.fraction));
    return buf;
}

std::string datetime_ext_display(const DateTimeExt& value) {
    const CivilTime t = civil_time(value);
    char buf[80];
    int n = std::snprintf(buf, sizeof buf, "%d/%d/%d", t.month, t.day, t.year);
    if (value.seconds == 0 && value.fraction == 0) return buf;
    const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
    std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), " %d:%02d:%02d.%07u %s", hour12, t.minute,
                  t.second, static_cast<unsigned>(value.fraction), t.hour < 12 ? "AM" : "PM");
    return buf;
}

}  // namespace jet
