#include "reader.h"

#include <cctype>
#include <cstring>

namespace uci {

namespace {

bool space(char c)
{
    return isspace(static_cast<unsigned char>(c));
}

} // namespace

// Replaces the buffer from offset on with the next line of the text.
void Reader::fetch(size_t offset)
{
    buf_.resize(offset);
    if (file_) {
        int c = 0;
        while ((c = getc(file_)) != EOF) {
            buf_.push_back(static_cast<char>(c));
            if (c == '\n') {
                line_++;
                break;
            }
        }
        buf_.push_back('\0');
        return;
    }
    size_t nl = src_.find('\n', at_);
    size_t end = nl == std::string_view::npos ? src_.size() : nl + 1;
    buf_.insert(buf_.end(), src_.begin() + static_cast<long>(at_),
                src_.begin() + static_cast<long>(end));
    at_ = end;
    // Only a line that ends in a line feed counts, as on the router.
    if (nl != std::string_view::npos)
        line_++;
    buf_.push_back('\0');
}

bool Reader::next_line()
{
    pos_ = 0;
    if (!file_ && eof()) {
        buf_.assign(1, '\0');
        return false;
    }
    fetch(0);
    return true;
}

void Reader::skip_blanks()
{
    while (cur() && space(cur()))
        pos_++;
}

bool Reader::fail(const char *why)
{
    reason_ = why;
    err_line_ = line_;
    err_byte_ = pos_;
    return false;
}

// Steps over a backslash; true if the character after it is literal,
// false if it ended the line and the next one was pulled in.
bool Reader::backslash()
{
    pos_++;
    char c = cur();
    if (!c || c == '\n' || (c == '\r' && buf_[pos_ + 1] == '\n' && !buf_[pos_ + 2])) {
        fetch(pos_);
        return false;
    }
    return true;
}

bool Reader::quoted(char q, size_t &dst)
{
    pos_++;
    for (;;) {
        char c = cur();
        if (c == q) {
            pos_++;
            return true;
        }
        if (!c) {
            fetch(pos_);
            if (!cur())
                return fail(q == '\'' ? "EOF with unterminated '" : "EOF with unterminated \"");
            continue;
        }
        if (c == '\\' && q == '"' && !backslash())
            continue;
        copy(dst);
    }
}

long Reader::word()
{
    skip_blanks();
    size_t start = pos_, dst = pos_;
    if (cur() == ';') {
        buf_[pos_++] = '\0';
        return static_cast<long>(start);
    }
    bool more = true;  // a ';' ends the word and stays for the next one
    do {
        char c = cur();
        if (c == '\'' || c == '"') {
            if (!quoted(c, dst))
                return -1;
        } else if (c == '#') {
            buf_[pos_] = '\0';
            break;
        } else if (!c) {
            break;
        } else if (c == ';') {
            more = false;
            break;
        } else if (c == '\\' && !backslash()) {
            continue;
        } else {
            copy(dst);
        }
    } while (cur() && !space(cur()));
    if (cur() && more)
        pos_++;
    buf_[dst] = '\0';
    return static_cast<long>(start);
}

const char *Reader::keyword()
{
    char *s = &buf_[pos_];
    s += strspn(s, " \t");
    if (!*s)
        return nullptr;
    s[strcspn(s, " \t")] = '\0';
    return s;
}

bool Reader::past_keyword(const char *kw)
{
    size_t add = strlen(&buf_[pos_]) + 1;
    (void)kw;
    if (pos_ + add > buf_.size() - 1)
        return false;
    pos_ += add;
    return true;
}

} // namespace uci
