// Value of one hexadecimal digit, either case; -1 for anything else.
// Shared by the programs that take bytes as hex text.
#pragma once

constexpr int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static_assert(hex_digit('7') == 7 && hex_digit('b') == 11 && hex_digit('F') == 15 &&
              hex_digit('g') == -1 && hex_digit(':') == -1);
