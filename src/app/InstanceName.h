// The single-instance mutex; clients also look for it to tell whether
// TunerHost runs at all.
#pragma once

constexpr wchar_t kInstanceMutexName[] = L"B7E2C5A0-3F14-4d8e-9A61-0C5D2E7B41F3";
