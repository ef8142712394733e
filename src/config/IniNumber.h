#pragma once
#include <cstdint>
#include <string>

// Signed decimal as the settings file stores it: leading white space skipped,
// an optional sign, the digits up to the first other character; no digits
// give 0, values beyond 32 bits the nearest limit.
int32_t ParseIniInt32(const wchar_t* text);

std::wstring FormatIniInt32(int32_t value);
