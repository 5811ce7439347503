// Splits configuration and change-file text into statements of shell-like
// words: unquoted, '...' (literal), "..." (backslash escapes), joined
// where they touch; a backslash before a line feed continues the line.
// A statement ends at a line feed, ';' or a '#' comment; a ';' right after
// a word ends the line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace uci {

class Lexer {
public:
    explicit Lexer(std::string_view text) : t_(text) {}

    // The next word of the statement; false at its end or on an error.
    bool word(std::string &out);
    // True when nothing but blanks or a comment is left in the statement.
    bool at_end_of_statement();
    void next_statement();
    bool done() const { return pos_ >= t_.size(); }
    size_t pos() const { return pos_; }

    const char *error() const { return error_; }
    // Where the lexer stands, or where the failed quote opened.
    int line() const { return error_ ? err_line_ : line_; }
    size_t byte() const { return error_ ? err_byte_ : pos_ - line_start_ + 1; }
    // Where the last word began.
    int word_line() const { return word_line_; }
    size_t word_byte() const { return word_byte_; }

private:
    bool more() const { return pos_ < t_.size(); }
    char cur() const { return t_[pos_]; }
    void advance();
    void skip_blanks();
    bool quoted(char q, std::string &out);
    void backslash(std::string &out);

    std::string_view t_;
    size_t pos_ = 0;
    size_t line_start_ = 0;
    int line_ = 1;
    const char *error_ = nullptr;
    int err_line_ = 0;
    size_t err_byte_ = 0;
    int word_line_ = 0;
    size_t word_byte_ = 0;
    bool glued_ = false;  // the last word ended at a ';'
};

} // namespace uci
