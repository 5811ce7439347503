// Reads configuration, change-file and batch text the way the router's
// library does: a line at a time into one buffer, words unquoted in place,
// a quote or a trailing backslash pulling in the next line. Errors carry
// the router's line and byte: lines read so far, offset in the buffer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

namespace uci {

class Reader {
public:
    explicit Reader(std::string_view src) : src_(src) { buf_.push_back('\0'); }
    // Lines come from file as they are needed.
    explicit Reader(FILE *file) : file_(file) { buf_.push_back('\0'); }

    // Starts the next line; false when the text is used up.
    bool next_line();
    bool eof() const { return file_ ? feof(file_) != 0 : at_ >= src_.size(); }

    // The next word: ';' alone is an empty one. Returns its offset, or
    // -1 with reason() set on a quote left open.
    long word();
    char *str(long off) { return &buf_[static_cast<size_t>(off)]; }
    char *rest() { return &buf_[pos_]; }
    char cur() const { return buf_[pos_]; }
    void skip_blanks();
    // The statement keyword: the text up to the next blank or tab, ended
    // there in place. Null at the end of the line.
    const char *keyword();
    // Steps over the keyword; false if the line ends right after it.
    bool past_keyword(const char *kw);

    // Records a parse error at the current position.
    bool fail(const char *why);
    const char *reason() const { return reason_; }
    int line() const { return err_line_; }
    size_t byte() const { return err_byte_; }

private:
    void fetch(size_t offset);
    bool backslash();
    bool quoted(char q, size_t &dst);
    void copy(size_t &dst) { buf_[dst++] = buf_[pos_++]; }

    std::string_view src_;
    FILE *file_ = nullptr;
    size_t at_ = 0;  // next unread byte of src_
    std::vector<char> buf_;
    size_t pos_ = 0;
    int line_ = 0;
    const char *reason_ = nullptr;
    int err_line_ = 0;
    size_t err_byte_ = 0;
};

} // namespace uci
