#include "lexer.h"

namespace uci {

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool stops(char c)
{
    return c == '\n' || c == ';' || c == '#';
}

} // namespace

void Lexer::advance()
{
    if (t_[pos_++] == '\n') {
        line_++;
        line_start_ = pos_;
    }
}

void Lexer::skip_blanks()
{
    while (more() && blank(cur()))
        advance();
}

void Lexer::backslash(std::string &out)
{
    if (!more())
        return;
    if (cur() == '\n') {
        advance();
        return;
    }
    if (cur() == '\r' && pos_ + 1 < t_.size() && t_[pos_ + 1] == '\n') {
        advance();
        advance();
        return;
    }
    out += cur();
    advance();
}

bool Lexer::quoted(char q, std::string &out)
{
    int open_line = line_;
    size_t open_byte = pos_ - line_start_;
    for (;;) {
        if (!more()) {
            error_ = q == '\'' ? "unterminated '" : "unterminated \"";
            err_line_ = open_line;
            err_byte_ = open_byte;
            return false;
        }
        char c = cur();
        if (c == q) {
            advance();
            return true;
        }
        if (c == '\\' && q == '"') {
            advance();
            backslash(out);
            continue;
        }
        out += c;
        advance();
    }
}

bool Lexer::word(std::string &out)
{
    out.clear();
    skip_blanks();
    if (!more() || stops(cur()))
        return false;
    word_line_ = line_;
    word_byte_ = pos_ - line_start_ + 1;
    while (more() && !blank(cur()) && !stops(cur())) {
        char c = cur();
        advance();
        if (c == '\'' || c == '"') {
            if (!quoted(c, out))
                return false;
        } else if (c == '\\') {
            backslash(out);
        } else {
            out += c;
        }
    }
    glued_ = more() && cur() == ';';
    return true;
}

bool Lexer::at_end_of_statement()
{
    skip_blanks();
    return !more() || stops(cur());
}

void Lexer::next_statement()
{
    skip_blanks();
    // The router's parser loses the rest of the line after a ';' that
    // touches the word before it ("config x; option y z" has no y).
    if (more() && cur() == ';' && !glued_) {
        advance();
        return;
    }
    glued_ = false;
    while (more() && cur() != '\n')
        advance();
    if (more())
        advance();
}

} // namespace uci
