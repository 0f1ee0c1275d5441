// Text decoding to UTF-8: Jet 4 UCS-2 with its compressed form, Jet 3
// code-page bytes as Windows converts them (iconv plus Windows' own rules).
#include "jet/base/text.h"

#include <cerrno>
#include <iconv.h>

#include <string>

namespace jet {

void append_utf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {

// Writes code point `cp` (a valid scalar value) as UTF-8 at `p`.
inline char* put_utf8(char* p, char32_t cp) {
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

// Writes UTF-16 code units as UTF-8, joining surrogate pairs, into a string
// sized for the worst case up front (3 bytes per input byte plus 3) and cut
// to its length at the end: no growth checks per character.
class Utf16Sink {
public:
    Utf16Sink(std::string& out, std::size_t input_bytes) : out_(out) {
        out_.resize(3 * input_bytes + 3);
        p_ = out_.data();
    }
    void put(char16_t u) {
        if (pending_) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                p_ = put_utf8(p_, 0x10000 + ((pending_ - 0xD800) << 10) + (u - 0xDC00));
                pending_ = 0;
                return;
            }
            p_ = put_utf8(p_, 0xFFFD);
            pending_ = 0;
        }
        if (u < 0x80) {
            *p_++ = static_cast<char>(u);
        } else if (u >= 0xD800 && u <= 0xDBFF) {
            pending_ = u;
        } else {
            p_ = put_utf8(p_, u >= 0xDC00 && u <= 0xDFFF ? 0xFFFD : u);  // a lone low surrogate
        }
    }
    void replacement() {
        finish();
        p_ = put_utf8(p_, 0xFFFD);
    }
    void finish() {
        if (pending_) p_ = put_utf8(p_, 0xFFFD);
        pending_ = 0;
    }
    void done() {
        finish();
        out_.resize(static_cast<std::size_t>(p_ - out_.data()));
    }

private:
    std::string& out_;
    char* p_ = nullptr;
    char32_t pending_ = 0;
};

}  // namespace

std::string ucs2_to_utf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    Utf16Sink sink(out, bytes.size());
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sink.put(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    if (i < bytes.size()) sink.replacement();
    sink.done();
    return out;
}

std::string decode_jet4_text(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return ucs2_to_utf8(bytes);
    // Compressed: one byte per character while compressed, a 0x00 byte
    // switches between one-byte and two-byte characters.
    std::string out;
    Utf16Sink sink(out, bytes.size());
    bool compressed = true;
    std::size_t i = 2;
    while (i < bytes.size()) {
        if (bytes[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            sink.put(bytes[i++]);
        } else if (i + 1 < bytes.size()) {
            sink.put(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
            i += 2;
        } else {
            sink.replacement();
            ++i;
        }
    }
    sink.done();
    return out;
}

void Jet4TextUnits::feed(std::span<const std::uint8_t> piece, std::vector<std::uint8_t>& out) {
    std::size_t i = 0;
    if (mode_ == Mode::kStart) {
        while (held_count_ < 2 && i < piece.size()) held_[held_count_++] = piece[i++];
        if (held_count_ < 2) return;
        held_count_ = 0;
        if (held_[0] == 0xFF && held_[1] == 0xFE) {
            mode_ = Mode::kOneByte;
        } else {
            mode_ = Mode::kPlain;
            out.push_back(held_[0]);
            out.push_back(held_[1]);
        }
    }
    if (mode_ == Mode::kPlain) {
        if (held_count_ == 1 && i < piece.size()) {
            out.push_back(held_[0]);
            out.push_back(piece[i++]);
            held_count_ = 0;
        }
        const std::size_t even = (piece.size() - i) & ~std::size_t{1};
        out.insert(out.end(), piece.begin() + static_cast<std::ptrdiff_t>(i),
                   piece.begin() + static_cast<std::ptrdiff_t>(i + even));
        i += even;
        if (i < piece.size()) {
            held_[0] = piece[i];
            held_count_ = 1;
        }
        return;
    }
    // Compressed: one byte per character while compressed, a 0x00 byte
    // switches between one-byte and two-byte characters.
    for (; i < piece.size(); ++i) {
        const std::uint8_t b = piece[i];
        if (mode_ == Mode::kOneByte) {
            if (b == 0) {
                mode_ = Mode::kTwoByte;
            } else {
                out.push_back(b);
                out.push_back(0);
            }
        } else if (held_count_ == 1) {
            out.push_back(held_[0]);
            out.push_back(b);
            held_count_ = 0;
        } else if (b == 0) {
            mode_ = Mode::kOneByte;
        } else {
            held_[0] = b;
            held_count_ = 1;
        }
    }
}

void Jet4TextUnits::finish(std::vector<std::uint8_t>& out) {
    if (held_count_ == 1) {
        out.push_back(0xFD);
        out.push_back(0xFF);
    } else if (held_count_ == 2) {  // exactly two bytes that are not the marker
        out.push_back(held_[0]);
        out.push_back(held_[1]);
    }
    held_count_ = 0;
    mode_ = Mode::kStart;
}

void append_jet4_units(std::span<const std::uint8_t> stored, std::vector<std::uint8_t>& out) {
    Jet4TextUnits units;
    units.feed(stored, out);
    units.finish(out);
}

namespace {

// ---- Windows code pages --------------------------------------------------
//
// A Jet 3 file names one Windows code page; Access turned its texts into
// Unicode with Windows' own conversion, which maps every byte to some
// character. iconv knows the assigned characters of these code pages but
// rejects the bytes Windows maps by rules of its own, so those rules are
// applied here on top of iconv. The values are those of the code-page
// tables Windows publishes (the "bestfit" tables of each ANSI code page):
//   - single-byte pages: an unassigned byte 0x80-0x9F becomes the C1
//     control character of the same value (1252: 0x81 -> U+0081, ...);
//     the unassigned bytes above 0x9F of 874, 1253, 1255 and 1257 become
//     the private-use characters Windows gives them; 1255's 0xCA is the
//     Hebrew point holam haser (U+05BA), which later tables assign;
//   - double-byte pages: the single bytes 0x80 and 0xA0/0xFD-0xFF become
//     U+0080 and Windows' private-use characters, and the user-defined
//     areas (where users' own characters, often rare name characters,
//     live) map in order onto U+E000..., as Windows maps them.
// What Windows itself would turn into its default character (a lead byte
// without a valid trail byte, a pair that is assigned nowhere) must not be
// lost either: each such byte b becomes U+F850 + (b - 0x80), a private-use
// range no double-byte code page uses, so the byte can be told from the
// text and recovered from it.

bool double_byte(unsigned cp) { return cp == 932 || cp == 936 || cp == 949 || cp == 950; }

bool lead_byte(unsigned cp, std::uint8_t b) {
    if (cp == 932) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    return b >= 0x81 && b <= 0xFE;
}

bool trail_byte(unsigned cp, std::uint8_t b) {
    switch (cp) {
        case 932: return b >= 0x40 && b <= 0xFC && b != 0x7F;
        case 936: return b >= 0x40 && b <= 0xFE && b != 0x7F;
        case 949: return (b >= 0x41 && b <= 0x5A) || (b >= 0x61 && b <= 0x7A) || (b >= 0x81 && b <= 0xFE);
        default: return (b >= 0x40 && b <= 0x7E) || (b >= 0xA1 && b <= 0xFE);  // 950
    }
}

char32_t orphan_byte(std::uint8_t b) { return 0xF850 + (b - 0x80); }

// What Windows makes of single byte `b` (0x80-0xFF) that iconv rejects.
char32_t windows_single_byte(unsigned cp, std::uint8_t b) {
    struct Private {
        unsigned cp;
        std::uint8_t first, last;
        char32_t to;
    };
    static constexpr Private kPrivate[] = {
        {874, 0xDB, 0xDE, 0xF8C1}, {874, 0xFC, 0xFF, 0xF8C5}, {1253, 0xAA, 0xAA, 0xF8F9},
        {1253, 0xD2, 0xD2, 0xF8FA}, {1253, 0xFF, 0xFF, 0xF8FB}, {1255, 0xCA, 0xCA, 0x05BA},
        {1255, 0xD9, 0xDF, 0xF88D}, {1255, 0xFB, 0xFC, 0xF894}, {1255, 0xFF, 0xFF, 0xF896},
        {1257, 0xA1, 0xA1, 0xF8FC}, {1257, 0xA5, 0xA5, 0xF8FD}, {932, 0xA0, 0xA0, 0xF8F0},
        {932, 0xFD, 0xFF, 0xF8F1}, {936, 0xFF, 0xFF, 0xF8F5}, {949, 0xFF, 0xFF, 0xF8F7},
        {950, 0xFF, 0xFF, 0xF8F8},
    };
    for (const Private& p : kPrivate) {
        if (p.cp == cp && b >= p.first && b <= p.last) return p.to + (b - p.first);
    }
    if (b <= 0x9F) return b;
    return double_byte(cp) ? orphan_byte(b) : 0xFFFD;
}

// The user-defined areas of the double-byte pages: blocks of lead bytes
// whose valid trail bytes, in order, follow one another in the private-use
// area. Returns 0 outside them.
char32_t windows_user_defined(unsigned cp, std::uint8_t lead, std::uint8_t trail) {
    struct Area {
        unsigned cp;
        std::uint8_t lead_first, lead_last, trail_first, trail_last;
        char32_t to;
    };
    static constexpr Area kAreas[] = {
        {936, 0xAA, 0xAF, 0xA1, 0xFE, 0xE000}, {936, 0xF8, 0xFE, 0xA1, 0xFE, 0xE234},
        {936, 0xA1, 0xA7, 0x40, 0xA0, 0xE4C6}, {932, 0xF0, 0xF9, 0x40, 0xFC, 0xE000},
        {949, 0xC9, 0xC9, 0xA1, 0xFE, 0xE000}, {949, 0xFE, 0xFE, 0xA1, 0xFE, 0xE05E},
        {950, 0xFA, 0xFE, 0x40, 0xFE, 0xE000}, {950, 0x8E, 0xA0, 0x40, 0xFE, 0xE311},
        {950, 0x81, 0x8D, 0x40, 0xFE, 0xEEB8}, {950, 0xC6, 0xC6, 0xA1, 0xFE, 0xF6B1},
        {950, 0xC7, 0xC8, 0x40, 0xFE, 0xF70F},
    };
    // Position of `b` among the valid trail bytes from `first`.
    auto rank = [cp](std::uint8_t first, std::uint8_t b) {
        unsigned n = 0;
        for (unsigned t = first; t < b; ++t) n += trail_byte(cp, static_cast<std::uint8_t>(t));
        return n;
    };
    for (const Area& a : kAreas) {
        if (a.cp != cp || lead < a.lead_first || lead > a.lead_last) continue;
        if (trail < a.trail_first || trail > a.trail_last || !trail_byte(cp, trail)) continue;
        const unsigned per_lead = rank(a.trail_first, a.trail_last) + 1;
        return a.to + (lead - a.lead_first) * per_lead + rank(a.trail_first, trail);
    }
    return 0;
}

std::string iconv_name(unsigned code_page) {
    if (code_page == 0) code_page = 1252;
    if (code_page == 936) return "GBK";
    if (code_page == 65001) return "UTF-8";
    return "CP" + std::to_string(code_page);
}

constexpr unsigned kNoCodePage = ~0u;

// The conversion of the code page met last, per thread: files use one code
// page throughout, and a hostile file cannot make the engine hold state per
// code page number it invents. A single-byte page becomes a table of 256
// characters (built once with iconv, each byte on its own, so that iconv's
// composition of base letters and marks in 1255 and 1258 does not merge
// characters Windows keeps apart); a double-byte page keeps its iconv
// descriptor.
class ThreadConverter {
public:
    ~ThreadConverter() { reset(); }
    // Switches to `code_page` (0 = 1252). A number iconv does not know
    // decodes as 1252.
    void select(unsigned code_page) {
        if (code_page == 0) code_page = 1252;
        if (code_page == code_page_) return;
        reset();
        cd_ = iconv_open("UTF-8", iconv_name(code_page).c_str());
        unsigned effective = code_page;
        if (cd_ == kInvalid) {
            effective = 1252;
            cd_ = iconv_open("UTF-8", "CP1252");
        }
        code_page_ = code_page;
        effective_ = effective;
        if (!double_byte(effective)) build_table();
    }
    bool double_byte_page() const { return double_byte(effective_); }
    unsigned effective() const { return effective_; }
    iconv_t descriptor() const { return cd_; }
    char32_t single(std::uint8_t b) const { return table_[b]; }

private:
    static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
    void reset() {
        if (cd_ != kInvalid) iconv_close(cd_);
        cd_ = kInvalid;
        code_page_ = kNoCodePage;
        effective_ = 1252;
    }
    void build_table() {
        for (unsigned b = 0; b < 0x80; ++b) table_[b] = b;
        for (unsigned b = 0x80; b < 0x100; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            table_[b] = one_byte(byte);
            if (table_[b] == 0) table_[b] = windows_single_byte(effective_, byte);
        }
    }
    // iconv's character for byte `b` alone, 0 when it has none.
    char32_t one_byte(std::uint8_t b) {
        if (cd_ == kInvalid) return 0;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(b);
        char* src = &in;
        std::size_t src_left = 1;
        char buf[16];
        char* dst = buf;
        std::size_t dst_left = sizeof buf;
        std::size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
        if (rc != static_cast<std::size_t>(-1)) rc = iconv(cd_, nullptr, nullptr, &dst, &dst_left);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (rc == static_cast<std::size_t>(-1)) return 0;
        const std::size_t n = static_cast<std::size_t>(dst - buf);
        const auto* u = reinterpret_cast<const unsigned char*>(buf);
        // Exactly one character, as UTF-8 of two or three bytes.
        if (n == 2 && (u[0] & 0xE0) == 0xC0) return ((u[0] & 0x1F) << 6) | (u[1] & 0x3F);
        if (n == 3 && (u[0] & 0xF0) == 0xE0) {
            return ((u[0] & 0x0F) << 12) | ((u[1] & 0x3F) << 6) | (u[2] & 0x3F);
        }
        return 0;
    }

    iconv_t cd_ = kInvalid;
    unsigned code_page_ = kNoCodePage;
    unsigned effective_ = 1252;
    char32_t table_[256] = {};
};

thread_local ThreadConverter t_converter;

// A double-byte text: iconv for what it maps, the rules above where it
// stops.
void decode_double_byte(std::span<const std::uint8_t> bytes, unsigned cp, iconv_t cd,
                        std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string in(bytes.begin(), bytes.end());
    char* src = in.data();
    std::size_t src_left = in.size();
    char buf[1024];
    while (src_left > 0) {
        char* dst = buf;
        std::size_t dst_left = sizeof buf;
        std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const auto b = static_cast<std::uint8_t>(src[0]);
        std::size_t used = 1;
        if (!lead_byte(cp, b)) {
            append_utf8(out, windows_single_byte(cp, b));
        } else if (src_left < 2 || !trail_byte(cp, static_cast<std::uint8_t>(src[1]))) {
            // No pair at all: the next byte is read on its own.
            append_utf8(out, orphan_byte(b));
        } else {
            const auto t = static_cast<std::uint8_t>(src[1]);
            if (char32_t u = windows_user_defined(cp, b, t)) {
                append_utf8(out, u);
            } else {
                // A well-formed pair no table assigns: both bytes kept; a
                // trail byte below 0x80 is an ASCII character of its own.
                append_utf8(out, orphan_byte(b));
                if (t >= 0x80) append_utf8(out, orphan_byte(t));
                else out += static_cast<char>(t);
            }
            used = 2;
        }
        src += used;
        src_left -= used;
    }
}

}  // namespace

std::string decode_codepage_text(std::span<const std::uint8_t> bytes, unsigned code_page) {
    std::string out;
    // Plain ASCII needs no conversion in any of the Windows code pages.
    bool ascii = true;
    for (auto b : bytes) ascii = ascii && b < 0x80;
    if (ascii) return std::string(bytes.begin(), bytes.end());

    t_converter.select(code_page);
    if (t_converter.double_byte_page()) {
        decode_double_byte(bytes, t_converter.effective(), t_converter.descriptor(), out);
        return out;
    }
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) append_utf8(out, t_converter.single(b));
    return out;
}

// ---- object names -------------------------------------------------------------

namespace {

// Capital and small letter alternate (even capital, odd small) in [lo, hi].
bool even_pair(char32_t cp, char32_t lo, char32_t hi) { return cp >= lo && cp <= hi && (cp % 2) == 0; }
// The same with odd capitals.
bool odd_pair(char32_t cp, char32_t lo, char32_t hi) { return cp >= lo && cp <= hi && (cp % 2) == 1; }

// Letters whose simple folding is no fixed distance away.
struct Fold {
    char32_t from, to;
};
constexpr Fold kSingleFolds[] = {
    {0x00B5, 0x03BC}, {0x0178, 0x00FF}, {0x017F, 0x0073}, {0x0181, 0x0253}, {0x0186, 0x0254},
    {0x0189, 0x0256}, {0x018A, 0x0257}, {0x018E, 0x01DD}, {0x018F, 0x0259}, {0x0190, 0x025B},
    {0x0193, 0x0260}, {0x0194, 0x0263}, {0x0196, 0x0269}, {0x0197, 0x0268}, {0x019C, 0x026F},
    {0x019D, 0x0272}, {0x019F, 0x0275}, {0x01A6, 0x0280}, {0x01A9, 0x0283}, {0x01AE, 0x0288},
    {0x01B1, 0x028A}, {0x01B2, 0x028B}, {0x01B7, 0x0292}, {0x01C4, 0x01C6}, {0x01C5, 0x01C6},
    {0x01C7, 0x01C9}, {0x01C8, 0x01C9}, {0x01CA, 0x01CC}, {0x01CB, 0x01CC}, {0x01F1, 0x01F3},
    {0x01F2, 0x01F3}, {0x01F6, 0x0195}, {0x01F7, 0x01BF}, {0x0220, 0x019E}, {0x023A, 0x2C65},
    {0x023D, 0x019A}, {0x023E, 0x2C66}, {0x0243, 0x0180}, {0x0244, 0x0289}, {0x0245, 0x028C},
    {0x0345, 0x03B9}, {0x037F, 0x03F3}, {0x0386, 0x03AC}, {0x038C, 0x03CC}, {0x038E, 0x03CD},
    {0x038F, 0x03CE}, {0x03C2, 0x03C3}, {0x03CF, 0x03D7}, {0x03D0, 0x03B2}, {0x03D1, 0x03B8},
    {0x03D5, 0x03C6}, {0x03D6, 0x03C0}, {0x03F0, 0x03BA}, {0x03F1, 0x03C1}, {0x03F4, 0x03B8},
    {0x03F5, 0x03B5}, {0x03F9, 0x03F2}, {0x04C0, 0x04CF}, {0x1E9B, 0x1E61}, {0x1E9E, 0x00DF},
};

}  // namespace

char32_t fold_case(char32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    // Latin-1: capitals 00C0..00DE (not the sign 00D7) are 32 below.
    if (cp >= 0x00C0 && cp <= 0x00DE && cp != 0x00D7) return cp + 32;
    for (const Fold& f : kSingleFolds) {
        if (f.from == cp) return f.to;
    }
    // Latin Extended-A (0130 and 0149 have no simple folding).
    if (even_pair(cp, 0x0100, 0x012F) || even_pair(cp, 0x0132, 0x0137) ||
        odd_pair(cp, 0x0139, 0x0148) || even_pair(cp, 0x014A, 0x0177) ||
        odd_pair(cp, 0x0179, 0x017E)) {
        return cp + 1;
    }
    // Latin Extended-B: the regular pairs.
    if (cp == 0x0182 || cp == 0x0184 || cp == 0x0187 || cp == 0x018B || cp == 0x0191 ||
        cp == 0x0198 || even_pair(cp, 0x01A0, 0x01A5) || cp == 0x01A7 || cp == 0x01AC ||
        cp == 0x01AF || cp == 0x01B3 || cp == 0x01B5 || cp == 0x01B8 || cp == 0x01BC ||
        odd_pair(cp, 0x01CD, 0x01DC) || even_pair(cp, 0x01DE, 0x01EF) || cp == 0x01F4 ||
        even_pair(cp, 0x01F8, 0x021F) || even_pair(cp, 0x0222, 0x0233) || cp == 0x023B ||
        cp == 0x0241 || even_pair(cp, 0x0246, 0x024F)) {
        return cp + 1;
    }
    // Greek.
    if (even_pair(cp, 0x0370, 0x0373) || cp == 0x0376 || even_pair(cp, 0x03D8, 0x03EF) ||
        cp == 0x03F7 || cp == 0x03FA) {
        return cp + 1;
    }
    if (cp >= 0x0388 && cp <= 0x038A) return cp + 37;
    if ((cp >= 0x0391 && cp <= 0x03A1) || (cp >= 0x03A3 && cp <= 0x03AB)) return cp + 32;
    if (cp >= 0x03FD && cp <= 0x03FF) return cp - 130;
    // Cyrillic.
    if (cp >= 0x0400 && cp <= 0x040F) return cp + 80;
    if (cp >= 0x0410 && cp <= 0x042F) return cp + 32;
    if (even_pair(cp, 0x0460, 0x0481) || even_pair(cp, 0x048A, 0x04BF) ||
        odd_pair(cp, 0x04C1, 0x04CE) || even_pair(cp, 0x04D0, 0x052F)) {
        return cp + 1;
    }
    // Armenian.
    if (cp >= 0x0531 && cp <= 0x0556) return cp + 48;
    // Latin Extended Additional (1E96..1E9F are no pairs).
    if (even_pair(cp, 0x1E00, 0x1E95) || even_pair(cp, 0x1EA0, 0x1EFF)) return cp + 1;
    // Full-width Latin capitals.
    if (cp >= 0xFF21 && cp <= 0xFF3A) return cp + 32;
    return cp;
}

namespace {

// A byte that starts no valid UTF-8 sequence reads as itself, lifted above
// the Unicode range so that it never equals a code point.
constexpr char32_t kRawByte = 0x110000;

// Reads one code point of UTF-8 at `i` and moves past it.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra = (b >= 0xF0 && b < 0xF5) ? 3 : (b >= 0xE0 && b < 0xF0) ? 2 : (b >= 0xC2 && b < 0xE0) ? 1 : 0;
    if (b < 0x80) {
        ++i;
        return b;
    }
    if (extra == 0 || s.size() - i <= extra) {
        ++i;
        return kRawByte + b;
    }
    char32_t cp = b & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return kRawByte + b;
        }
        cp = (cp << 6) | (c & 0x3Fu);
    }
    constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF) {  // overlong or out of range
        ++i;
        return kRawByte + b;
    }
    i += extra + 1;
    return cp;
}

}  // namespace

std::string fold_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        std::size_t start = i;
        char32_t cp = next_code_point(name, i);
        if (cp >= kRawByte) {
            out.append(name.substr(start, i - start));
        } else {
            append_utf8(out, fold_case(cp));
        }
    }
    return out;
}

bool same_name(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        char32_t x = next_code_point(a, i);
        char32_t y = next_code_point(b, j);
        if (x != y && (x >= kRawByte || y >= kRawByte || fold_case(x) != fold_case(y))) return false;
    }
    return i == a.size() && j == b.size();
}

}  // namespace jet
