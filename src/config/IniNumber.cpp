#include "config/IniNumber.h"

#include <cwctype>

int32_t ParseIniInt32(const wchar_t* text)
{
    if (!text) return 0;
    while (*text && std::iswspace(static_cast<wint_t>(*text))) ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    int64_t value = 0;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > limit) value = limit;  // saturate, but keep consuming digits
    }
    return static_cast<int32_t>(negative ? -value : value);
}

std::wstring FormatIniInt32(int32_t value)
{
    return std::to_wstring(value);
}
