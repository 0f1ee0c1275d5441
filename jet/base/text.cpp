// Text decoding to UTF-8: Jet 4 UCS-2 with its compressed form, Jet 3
// code-page bytes through iconv.
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

std::string iconv_name(unsigned code_page) {
    if (code_page == 0) code_page = 1252;
    if (code_page == 936) return "GBK";
    if (code_page == 65001) return "UTF-8";
    return "CP" + std::to_string(code_page);
}

// One iconv descriptor per thread, for the code page met last: files use
// one code page throughout, and a hostile file cannot make the engine hold
// a descriptor per code page number it invents.
class ThreadConverter {
public:
    ~ThreadConverter() { reset(); }
    // The descriptor for `code_page`, or (iconv_t)-1 when iconv has none
    // and not even CP1252.
    iconv_t get(unsigned code_page) {
        if (code_page != code_page_) {
            reset();
            cd_ = iconv_open("UTF-8", iconv_name(code_page).c_str());
            if (cd_ == kInvalid) cd_ = iconv_open("UTF-8", "CP1252");
            code_page_ = code_page;
        }
        return cd_;
    }

private:
    static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);
    void reset() {
        if (cd_ != kInvalid) iconv_close(cd_);
        cd_ = kInvalid;
        code_page_ = ~0u;
    }
    iconv_t cd_ = kInvalid;
    unsigned code_page_ = ~0u;
};

thread_local ThreadConverter t_converter;

}  // namespace

std::string decode_codepage_text(std::span<const std::uint8_t> bytes, unsigned code_page) {
    std::string out;
    // Plain ASCII needs no conversion in any of the Windows code pages.
    bool ascii = true;
    for (auto b : bytes) ascii = ascii && b < 0x80;
    if (ascii) return std::string(bytes.begin(), bytes.end());

    iconv_t cd = t_converter.get(code_page);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (auto b : bytes) append_utf8(out, b < 0x80 ? b : 0xFFFD);
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string in(bytes.begin(), bytes.end());
    char* src = in.data();
    std::size_t src_left = in.size();
    char buf[1024];
    while (src_left > 0) {
        char* dst = buf;
        std::size_t dst_left = sizeof buf;
        std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
        out.append(buf, dst - buf);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // Unmapped or truncated sequence: one replacement character per byte.
            append_utf8(out, 0xFFFD);
            ++src;
            --src_left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace jet
