// A minimal JSON reader for the fixture oracles (test-only code).
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testjson {

struct Member;

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool b = false;
    double number = 0;
    std::string text;  // String value, or the number as written
    std::vector<Value> items;
    // A vector of an incomplete element type is fine; a std::pair holding
    // this still incomplete Value is not, with every standard library.
    std::vector<Member> members;

    bool is_null() const { return kind == Kind::Null; }
    const Value* find(std::string_view key) const;
    const Value& operator[](std::string_view key) const;
    long long as_int() const { return static_cast<long long>(number); }
};

struct Member {
    std::string name;
    Value value;
};

inline const Value* Value::find(std::string_view key) const {
    for (const auto& [k, v] : members)
        if (k == key) return &v;
    return nullptr;
}

inline const Value& Value::operator[](std::string_view key) const {
    if (const Value* v = find(key)) return *v;
    throw std::runtime_error("JSON: no member " + std::string(key));
}

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}
    Value parse() {
        Value v = value();
        ws();
        if (i_ != s_.size()) fail("trailing characters");
        return v;
    }

private:
    [[noreturn]] void fail(const char* what) {
        throw std::runtime_error(std::string("JSON: ") + what + " at " + std::to_string(i_));
    }
    void ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool eat(char c) {
        ws();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!eat(c)) fail("unexpected character");
    }
    static void utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) out += static_cast<char>(cp);
        else if (cp < 0x800) { out += static_cast<char>(0xC0 | (cp >> 6)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) { out += static_cast<char>(0xE0 | (cp >> 12)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
        else { out += static_cast<char>(0xF0 | (cp >> 18)); out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
    }
    unsigned hex4() {
        if (i_ + 4 > s_.size()) fail("short \\u escape");
        unsigned v = static_cast<unsigned>(std::strtoul(std::string(s_.substr(i_, 4)).c_str(), nullptr, 16));
        i_ += 4;
        return v;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (true) {
            if (i_ >= s_.size()) fail("unterminated string");
            char c = s_[i_++];
            if (c == '"') break;
            if (c != '\\') { out += c; continue; }
            if (i_ >= s_.size()) fail("bad escape");
            char e = s_[i_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    unsigned cp = hex4();
                    if (cp >= 0xD800 && cp <= 0xDBFF && i_ + 1 < s_.size() && s_[i_] == '\\' && s_[i_ + 1] == 'u') {
                        i_ += 2;
                        unsigned lo = hex4();
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    utf8(out, cp);
                    break;
                }
                default: out += e;
            }
        }
        return out;
    }
    Value value() {
        ws();
        if (i_ >= s_.size()) fail("unexpected end");
        Value v;
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Value::Kind::Object;
            if (eat('}')) return v;
            do {
                ws();
                std::string k = string();
                expect(':');
                v.members.push_back(Member{std::move(k), value()});
            } while (eat(','));
            expect('}');
        } else if (c == '[') {
            ++i_;
            v.kind = Value::Kind::Array;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (eat(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Value::Kind::String;
            v.text = string();
        } else if (s_.substr(i_, 4) == "null") {
            i_ += 4;
        } else if (s_.substr(i_, 4) == "true") {
            i_ += 4;
            v.kind = Value::Kind::Bool;
            v.b = true;
        } else if (s_.substr(i_, 5) == "false") {
            i_ += 5;
            v.kind = Value::Kind::Bool;
        } else {
            std::size_t start = i_;
            while (i_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[i_]) != std::string_view::npos) ++i_;
            if (start == i_) fail("unexpected character");
            v.kind = Value::Kind::Number;
            v.text = std::string(s_.substr(start, i_ - start));
            v.number = std::strtod(v.text.c_str(), nullptr);
        }
        return v;
    }
    std::string_view s_;
    std::size_t i_ = 0;
};

inline Value parse(std::string_view s) { return Parser(s).parse(); }

}  // namespace testjson
