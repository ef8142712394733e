#include "common/CallCount.h"

#ifdef TUNERHOST_COUNT_CALLS
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kRoles = static_cast<int>(ThreadRole::Count);
constexpr int kCalls = static_cast<int>(SystemCall::Count);
constexpr int kUnits = static_cast<int>(StreamUnit::Count);

volatile LONG64 g_calls[kRoles][kCalls];
volatile LONG64 g_units[kUnits];
const DWORD g_roleSlot = TlsAlloc();

int Role()
{
    return static_cast<int>(reinterpret_cast<uintptr_t>(TlsGetValue(g_roleSlot)));
}

// Written at exit, after every worker has ended.
struct CCountsWriter {
    ~CCountsWriter()
    {
        wchar_t path[MAX_PATH * 4] = {};
        GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
        std::wstring file(path);
        file = file.substr(0, file.find_last_of(L'.')) + L".counts";
        FILE* f = _wfopen(file.c_str(), L"w");
        if (!f) return;
        const char* roles[kRoles] = {"other", "reception", "relay", "data", "control", "signal"};
        std::fprintf(f, "blocks %lld\nchunks %lld\n", static_cast<long long>(g_units[0]), static_cast<long long>(g_units[1]));
        for (int r = 0; r < kRoles; ++r)
        {
            std::fprintf(f, "%s", roles[r]);
            for (int c = 0; c < kCalls; ++c) std::fprintf(f, " %lld", static_cast<long long>(g_calls[r][c]));
            std::fprintf(f, "\n");
        }
        std::fclose(f);
    }
} g_writer;

}  // namespace

void SetThreadRole(ThreadRole role)
{
    TlsSetValue(g_roleSlot, reinterpret_cast<void*>(static_cast<uintptr_t>(role)));
}

void CountCall(SystemCall call)
{
    InterlockedIncrement64(&g_calls[Role()][static_cast<int>(call)]);
}

void CountUnit(StreamUnit unit)
{
    InterlockedIncrement64(&g_units[static_cast<int>(unit)]);
}
#endif
