// Text decoding to UTF-8: Jet 4 UCS-2 with its compressed form, Jet 3
// code-page bytes through iconv.
#include "jet/text.h"

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

// Appends UTF-16 code units, joining surrogate pairs.
class Utf16Sink {
public:
    explicit Utf16Sink(std::string& out) : out_(out) {}
    void put(char16_t u) {
        if (pending_) {
            if (u >= 0xDC00 && u <= 0xDFFF) {
                append_utf8(out_, 0x10000 + ((pending_ - 0xD800) << 10) + (u - 0xDC00));
                pending_ = 0;
                return;
            }
            append_utf8(out_, 0xFFFD);
            pending_ = 0;
        }
        if (u >= 0xD800 && u <= 0xDBFF) {
            pending_ = u;
        } else {
            append_utf8(out_, u);  // a lone low surrogate becomes U+FFFD there
        }
    }
    void finish() {
        if (pending_) append_utf8(out_, 0xFFFD);
        pending_ = 0;
    }

private:
    std::string& out_;
    char32_t pending_ = 0;
};

}  // namespace

std::string ucs2_to_utf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    Utf16Sink sink(out);
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sink.put(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    sink.finish();
    if (i < bytes.size()) append_utf8(out, 0xFFFD);
    return out;
}

std::string decode_jet4_text(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) return ucs2_to_utf8(bytes);
    // Compressed: one byte per character while compressed, a 0x00 byte
    // switches between one-byte and two-byte characters.
    std::string out;
    out.reserve(bytes.size());
    Utf16Sink sink(out);
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
            sink.finish();
            append_utf8(out, 0xFFFD);
            ++i;
        }
    }
    sink.finish();
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
