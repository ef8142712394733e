// Text helpers for DLLs built without a C runtime: NUL-terminated strings in
// fixed buffers, cut short rather than overrun.
#pragma once
#include <stddef.h>
#include <stdint.h>

template <typename Char>
size_t TextLength(const Char* s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Appends `from` to the string in `to` (capacity counts the terminating NUL).
template <typename Char>
void AppendText(Char* to, size_t capacity, const Char* from)
{
    size_t at = TextLength(to);
    while (*from && at + 1 < capacity) to[at++] = *from++;
    to[at] = 0;
}

// Appends `value` in decimal, with leading zeros up to `minDigits`.
template <typename Char>
void AppendDecimal(Char* to, size_t capacity, uint32_t value, int minDigits = 1)
{
    Char digits[11] = {};
    int n = 0;
    do {
        digits[n++] = static_cast<Char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n < minDigits && n < 10) digits[n++] = '0';
    Char reversed[11] = {};
    for (int i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
    AppendText(to, capacity, reversed);
}

template <typename Char>
bool TextContains(const Char* s, Char c)
{
    for (; *s; ++s)
        if (*s == c) return true;
    return false;
}
