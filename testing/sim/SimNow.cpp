#include "SimNow.h"

#include "Kernel32.h"

uint32_t SimNowUnix()
{
    SYSTEMTIME t = {};
    GetSystemTime(&t);
    // Days from the civil date (eras of 400 years from 0000-03-01), in 32 bits.
    const int32_t y = t.wYear - (t.wMonth <= 2 ? 1 : 0);
    const int32_t era = y / 400;
    const int32_t yoe = y - era * 400;
    const int32_t doy = (153 * (t.wMonth + (t.wMonth > 2 ? -3 : 9)) + 2) / 5 + t.wDay - 1;
    const int32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int32_t days = era * 146097 + doe - 719468;
    return static_cast<uint32_t>(days) * 86400u + t.wHour * 3600u + t.wMinute * 60u + t.wSecond;
}
