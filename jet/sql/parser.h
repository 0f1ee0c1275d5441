// The SQL front end: the tokenizer and the parser of the Jet SQL subset.
//
// Jet SQL as this system and its users write it: names bare or in brackets,
// keywords in any case, strings in single (or double) quotes with a doubled
// quote inside, numbers, dates between # signs, NULL, TRUE and FALSE. Every
// text the parser does not understand fails with a jet::Error that quotes
// the words where it stopped, says what it expected there, and repeats the
// statement.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "jet/sql/ast.h"

namespace jet::sql {

enum class TokenKind {
    kName,     // bare word (keywords too): text as written
    kBracket,  // [ ... ]: text without the brackets
    kString,   // text without quotes, doubled quotes folded
    kNumber,   // text as written
    kDate,     // # ... #: text without the signs
    kSymbol,   // ( ) , . ; * + - / \ & = <> < > <= >= ^
    kEnd,
};

struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;
    std::size_t pos = 0;  // byte offset in the statement
    std::size_t end = 0;  // one past the last byte
};

// Splits a statement into tokens, the last one kEnd. Throws jet::Error for
// an unterminated string, bracket or date and for a character that starts
// no token.
std::vector<Token> tokenize(std::string_view sql);

// Parses one statement (a trailing ";" is allowed). Throws jet::Error.
Statement parse_statement(std::string_view sql);

// A Jet date literal's text ("2024-01-31", "1/31/2024 10:30 PM", "10:30:00")
// as days since 1899-12-30; false when it is not a date.
bool parse_date_text(std::string_view text, double& days);

// "Syntax error at "<near>" (character N): <what>. Statement: <sql>".
[[noreturn]] void throw_syntax_error(std::string_view sql, std::size_t pos, std::string_view what);

// The 1-based character (not byte) position of `pos` in a UTF-8 text.
std::size_t character_position(std::string_view text, std::size_t pos);

}  // namespace jet::sql
