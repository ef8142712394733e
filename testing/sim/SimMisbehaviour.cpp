#include "SimMisbehaviour.h"

#include "Faults.h"
#include "PluginFiles.h"
#include "relay/PipeProtocol.h"

namespace {

bool SameName(const wchar_t* a, const wchar_t* b)
{
    auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    while (*a && lower(*a) == lower(*b)) ++a, ++b;
    return lower(*a) == lower(*b);
}

const wchar_t* const kNames[] = {L"",
                                 L"HeapLockFault",
                                 L"HeapCorrupt",
                                 L"LoaderLockFault",
                                 L"OwnLockFault",
                                 L"ThreadFault",
                                 L"TimerFault",
                                 L"PoolFault",
                                 L"CookieFault",
                                 L"InvalidParameter",
                                 L"StackOverflowTwice",
                                 L"FilterThenThrow",
                                 L"ExitProcess",
                                 L"WildWriteImage",
                                 L"WildWriteHeap",
                                 L"StartProcess",
                                 L"LeakThreads",
                                 L"OverflowPositions",
                                 L"ReportHandles",
                                 L"ForgeDataPipe"};

[[noreturn]] void Fault()
{
    RaiseSimFault(kAccessViolation);
}

void Fill(void* at, uint8_t value, size_t n)
{
    auto* p = static_cast<volatile uint8_t*>(at);
    for (size_t i = 0; i < n; ++i) p[i] = value;
}

// The loader's lock, from the process environment block that the thread's
// own block points at.
CRITICAL_SECTION* LoaderLock()
{
    uint8_t* peb = nullptr;
#if defined(__x86_64__)
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
    return *reinterpret_cast<CRITICAL_SECTION**>(peb + 0x110);
#else
    __asm__("movl %%fs:0x30, %0" : "=r"(peb));
    return *reinterpret_cast<CRITICAL_SECTION**>(peb + 0xA0);
#endif
}

// Two neighbouring blocks, the second freed; the first overrun over the
// second's header and list links, then freed: the heap merges the two by
// following those links, under its lock.
void CorruptHeap()
{
    HANDLE heap = GetProcessHeap();
    constexpr size_t kSize = 200;
    uint8_t *a = nullptr, *b = nullptr;
    for (int i = 0; i < 64; ++i) {
        a = static_cast<uint8_t*>(HeapAlloc(heap, 0, kSize));
        b = static_cast<uint8_t*>(HeapAlloc(heap, 0, kSize));
        if (a && b && b > a && static_cast<size_t>(b - a) <= 2 * kSize) break;  // others are leaked
    }
    if (!a || !b) Fault();
    HeapFree(heap, 0, b);
    Fill(a + kSize, 0x41, b > a && static_cast<size_t>(b - a) <= 2 * kSize ? static_cast<size_t>(b - a) : 64);
    HeapFree(heap, 0, a);
}

bool Writable(DWORD protect)
{
    return protect == PAGE_READWRITE || protect == PAGE_WRITECOPY || protect == PAGE_EXECUTE_READWRITE ||
           protect == PAGE_EXECUTE_WRITECOPY;
}

// Writes over every writable page of [from, from + n).
void Scribble(uint8_t* from, size_t n)
{
    for (uint8_t* at = from; at < from + n;) {
        MEMORY_BASIC_INFORMATION m = {};
        if (!VirtualQuery(at, &m, sizeof m)) return;
        uint8_t* end = static_cast<uint8_t*>(m.BaseAddress) + m.RegionSize;
        if (end > from + n) end = from + n;
        if (m.State == MEM_COMMIT && Writable(m.Protect)) Fill(at, 0x5A, static_cast<size_t>(end - at));
        at = end;
    }
}

// The data, the import table, everything writable of the program's image.
void ScribbleOverImage()
{
    auto* image = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
    const uint8_t* nt = image + *reinterpret_cast<const int32_t*>(image + 0x3C);
    const uint16_t sections = *reinterpret_cast<const uint16_t*>(nt + 6);
    const uint8_t* section = nt + 24 + *reinterpret_cast<const uint16_t*>(nt + 20);
    for (uint16_t i = 0; i < sections; ++i, section += 40) {
        const uint32_t size = *reinterpret_cast<const uint32_t*>(section + 8);
        const uint32_t rva = *reinterpret_cast<const uint32_t*>(section + 12);
        const uint32_t flags = *reinterpret_cast<const uint32_t*>(section + 36);
        if (flags & 0x80000000u) Scribble(image + rva, size);  // IMAGE_SCN_MEM_WRITE
    }
}

// 4 kB on either side of a block of its own: the blocks of whoever
// allocated around it, and their headers.
void ScribbleOverHeap()
{
    auto* own = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, 64));
    if (!own) Fault();
    MEMORY_BASIC_INFORMATION m = {};
    VirtualQuery(own, &m, sizeof m);
    uint8_t* from = own - 4096 < static_cast<uint8_t*>(m.BaseAddress) ? static_cast<uint8_t*>(m.BaseAddress) : own - 4096;
    Scribble(from, static_cast<size_t>(own + 4096 - from));
}

// Threads of the plug-in's own: they log and fault once it is due.
[[noreturn]] void FaultNow(const SimSettings& s)
{
    AppendLogLine(s.log, "misbehave");
    Fault();
}
void WaitUntilDue(const SimSettings& s)
{
    if (!s.trigger[0]) {
        if (s.misbehaveAfterMs > 0) Sleep(static_cast<DWORD>(s.misbehaveAfterMs));
        return;
    }
    while (!PluginFileExists(s.trigger)) Sleep(20);
}
DWORD WINAPI FaultingThread(void* s)
{
    WaitUntilDue(*static_cast<SimSettings*>(s));
    FaultNow(*static_cast<SimSettings*>(s));
}
// Due MisbehaveAfterMs after it was set, or every 20 ms until the trigger is there.
void WINAPI FaultingTimer(void* p, uint8_t)
{
    const auto& s = *static_cast<SimSettings*>(p);
    if (s.trigger[0] && !PluginFileExists(s.trigger)) return;
    FaultNow(s);
}
void WINAPI FaultingWork(void*, void* s)
{
    WaitUntilDue(*static_cast<SimSettings*>(s));
    FaultNow(*static_cast<SimSettings*>(s));
}

#if defined(MSABI_HANDLERS)
// Deeper than any stack: only an overflow ends it.
__attribute__((noinline)) int Recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth == 0x7FFFFFFF ? 0 : Recurse(depth + 1) + frame[0];
}

// As a plug-in that guards its device calls: a stack overflow is handled
// and the thread goes on, with its stack's guard page used up.
bool OverflowHandled()
{
    __try {
        Recurse(0);
    } __except (_exception_code() == 0xC00000FD ? EXCEPTION_EXECUTE_HANDLER : 0) {
        return true;
    }
    return false;
}

// Overruns a local buffer past the cookie the check keeps beside it.
__attribute__((noinline)) void Overrun(size_t n)
{
    char buffer[32];
    volatile size_t count = n;
    for (size_t i = 0; i < count; ++i) reinterpret_cast<volatile char*>(buffer)[i] = 'A';
}
#endif

// A helper of the plug-in's own that lives on: a copy of the program that
// loaded it, started suspended, so that it never runs and never ends by
// itself. Its id goes to the log.
void StartProcess(const SimSettings& s)
{
    wchar_t program[MAX_PATH] = {};
    if (!GetModuleFileNameW(nullptr, program, MAX_PATH)) return;
    wchar_t line[MAX_PATH + 2] = {};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, line, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &info))
        return;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    char text[32] = "process ";
    char digits[12] = {};
    int n = 0;
    for (DWORD id = info.dwProcessId; n == 0 || id; id /= 10) digits[n++] = static_cast<char>('0' + id % 10);
    for (int i = 0; i < n; ++i) text[8 + i] = digits[n - 1 - i];
    AppendLogLine(s.log, text);
}

// Another kind's stream, forged: whole messages of packets of a PID the
// simulated stream never has, so one forged packet shows.
DWORD WINAPI ForgingThread(void* p)
{
    const auto& s = *static_cast<SimSettings*>(p);
    WaitUntilDue(s);
    AppendLogLine(s.log, "misbehave");
    auto* message = static_cast<uint8_t*>(VirtualAlloc(nullptr, kDataMessageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!message) return 0;
    for (uint32_t at = 0, cc = 0; at < kDataMessageSize; at += 188, ++cc) {
        Fill(message + at, 0xFA, 188);
        message[at] = 0x47;
        message[at + 1] = 0x1B;
        message[at + 2] = 0xAD;
        message[at + 3] = static_cast<uint8_t>(0x10 | (cc & 15));
    }
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(kPlainPipeNameDataS, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE, 1, 4 << 20, 4 << 20,
                                       0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(5);
            continue;
        }
        AppendLogLine(s.log, "forged pipe");
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            DWORD written = 0;
            while (WriteFile(pipe, message, kDataMessageSize, &written, nullptr)) {
            }
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}

// The stream ring's header, as its host maps it: a mapped view that starts
// with the ring's mark and size. Null when there is none.
volatile int64_t* RingPositions()
{
    for (uint8_t* at = nullptr;;) {
        MEMORY_BASIC_INFORMATION m = {};
        if (!VirtualQuery(at, &m, sizeof m)) return nullptr;
        const auto* base = static_cast<const uint32_t*>(m.BaseAddress);
        if (m.State == MEM_COMMIT && m.Type == MEM_MAPPED && m.Protect == PAGE_READWRITE && base[0] == 0x54485231u &&
            base[1] == (8u << 20))
            return reinterpret_cast<volatile int64_t*>(const_cast<uint32_t*>(base) + 2);
        uint8_t* next = static_cast<uint8_t*>(m.BaseAddress) + m.RegionSize;
        if (next <= at) return nullptr;
        at = next;
    }
}

DWORD WINAPI OverflowingThread(void* p)
{
    const auto& s = *static_cast<SimSettings*>(p);
    WaitUntilDue(s);
    volatile int64_t* positions = RingPositions();
    AppendLogLine(s.log, positions ? "misbehave" : "no ring");
    if (!positions) return 0;
    for (;;) {
        positions[0] = 0x7FFFFFFFFFFFFFFFll;  // head
        positions[1] = 0x7FFFFFFFFFFFFFFFll;  // tail
        Sleep(1);
    }
}

// What the host's command line names after the program: its channel, then
// the ring's section, ready and room events, as decimal handle values.
void HostHandles(uintptr_t (&out)[4])
{
    const wchar_t* at = GetCommandLineW();
    if (*at == L'"') {
        ++at;
        while (*at && *at != L'"') ++at;
        if (*at) ++at;
    }
    for (uintptr_t& value : out) {
        while (*at == L' ') ++at;
        value = 0;
        for (; *at >= L'0' && *at <= L'9'; ++at) value = value * 10 + static_cast<uintptr_t>(*at - L'0');
    }
}

void AppendHex(char*& to, uint32_t value)
{
    *to++ = '0';
    *to++ = 'x';
    for (int shift = 28; shift >= 0; shift -= 4) *to++ = "0123456789abcdef"[(value >> shift) & 15];
}

// The access a handle was opened or duplicated with, as the system keeps it.
uint32_t GrantedAccess(HANDLE h)
{
    struct BasicInformation {
        uint32_t attributes, grantedAccess, handleCount, pointerCount, reserved[10];
    } info = {};
    using Query = long(WINAPI*)(HANDLE, int, void*, uint32_t, uint32_t*);
    static const auto query = reinterpret_cast<Query>(GetProcAddress(LoadLibraryW(L"ntdll.dll"), "NtQueryObject"));
    return query && h && query(h, 0, &info, sizeof info, nullptr) == 0 ? info.grantedAccess : 0xFFFFFFFFu;
}

void ReportHandles(const SimSettings& s)
{
    if (s.probeHandle) {
        HANDLE probe = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(s.probeHandle));
        if (const auto* view = static_cast<const char*>(MapViewOfFile(probe, 4, 0, 0, 8))) {  // FILE_MAP_READ
            const char mark[] = "INHERITD";
            bool same = true;
            for (int i = 0; i < 8; ++i) same = same && view[i] == mark[i];
            UnmapViewOfFile(view);
            if (same) AppendLogLine(s.log, "inherited");
        }
    }
    uintptr_t handles[4];
    HostHandles(handles);
    char line[64] = "rights";
    char* to = line + 6;
    for (int i = 1; i < 4; ++i) {
        *to++ = ' ';
        AppendHex(to, GrantedAccess(reinterpret_cast<HANDLE>(handles[i])));
    }
    *to = 0;
    AppendLogLine(s.log, line);
}

// A crash reporter's filter: its report written, the process ends.
long WINAPI EndTheProcess(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool MisbehaviourDue(const SimSettings& s, double msSinceOpen)
{
    return s.trigger[0] ? PluginFileExists(s.trigger) : msSinceOpen >= s.misbehaveAfterMs;
}

int MisbehaviourNamed(const wchar_t* name)
{
    for (int i = 1; i < static_cast<int>(sizeof kNames / sizeof kNames[0]); ++i)
        if (SameName(name, kNames[i])) return i;
    return kBehaves;
}

int MisbehaviourCallNamed(const wchar_t* name)
{
    if (SameName(name, L"Tune")) return kInTune;
    if (SameName(name, L"Fetch")) return kInFetch;
    return kInOpen;
}

void Misbehave(const SimSettings& s, SRWLOCK* ownLock)
{
    if (s.misbehave == kBehaves) return;
    if (s.misbehave == kForgeDataPipe || s.misbehave == kOverflowPositions) {
        HANDLE thread = CreateThread(nullptr, 0, s.misbehave == kForgeDataPipe ? ForgingThread : OverflowingThread,
                                     new SimSettings(s), 0, nullptr);
        if (thread) CloseHandle(thread);
        return;
    }
    if (s.misbehave == kThreadFault || s.misbehave == kTimerFault || s.misbehave == kPoolFault) {
        auto* copy = new SimSettings(s);  // the thread's for ever: it never ends
        HANDLE timer = nullptr;
        if (s.misbehave == kThreadFault) {
            HANDLE thread = CreateThread(nullptr, 0, FaultingThread, copy, 0, nullptr);
            if (thread) CloseHandle(thread);
        } else if (s.misbehave == kTimerFault) {
            const DWORD due = s.trigger[0] ? 20 : static_cast<DWORD>(s.misbehaveAfterMs);
            CreateTimerQueueTimer(&timer, nullptr, FaultingTimer, copy, due, s.trigger[0] ? 20 : 0, 0);
        } else {
            TrySubmitThreadpoolCallback(FaultingWork, copy, nullptr);
        }
        return;
    }
    AppendLogLine(s.log, "misbehave");
    switch (s.misbehave) {
    case kHeapLockFault:
        HeapLock(GetProcessHeap());
        Fault();
    case kHeapCorrupt:
        CorruptHeap();
        break;
    case kLoaderLockFault:
        EnterCriticalSection(LoaderLock());
        Fault();
    case kOwnLockFault:
        AcquireSRWLockExclusive(ownLock);
        Fault();
    case kCookieFault:
#if defined(MSABI_HANDLERS)
        Overrun(32 + 16);
#endif
        FastFail(kFastFailStackCookie);  // what the check does; a build without it does it here
    case kInvalidParameter:
        FastFail(kFastFailInvalidArg);
    case kStackOverflowTwice:
#if defined(MSABI_HANDLERS)
        if (OverflowHandled()) AppendLogLine(s.log, "overflow handled");
        Recurse(0);
#else
        Fault();  // a build without handlers has nothing to handle the first overflow with
#endif
        break;
    case kFilterThenThrow:
        SetUnhandledExceptionFilter(EndTheProcess);
        RaiseSimFault(kCxxException);
    case kExitProcess:
        ExitProcess(1);
    case kWildWriteImage:
        ScribbleOverImage();
        break;
    case kWildWriteHeap:
        ScribbleOverHeap();
        break;
    case kStartProcess:
        StartProcess(s);
        break;
    case kReportHandles:
        ReportHandles(s);
        break;
    case kLeakThreads:
        // As a plug-in that starts helpers at every open and forgets them:
        // they wait in the system, outside its code, so they outlive its unload.
        for (int i = 0; i < 8; ++i) {
            HANDLE thread = CreateThread(nullptr, 0, reinterpret_cast<DWORD(WINAPI*)(void*)>(Sleep),
                                         reinterpret_cast<void*>(static_cast<uintptr_t>(INFINITE)), 0, nullptr);
            if (thread) CloseHandle(thread);
        }
        break;
    default:
        break;
    }
}

void MisbehaveAtAttach(const SimSettings& s)
{
    if (s.dllMainFault) {
        AppendLogLine(s.log, "fault");
        RaiseSimFault(s.dllMainFault);
    }
    if (s.dllMainSlowMs > 0) {
        AppendLogLine(s.log, "slow");
        Sleep(static_cast<DWORD>(s.dllMainSlowMs));
    }
    if (s.dllMainHang) {
        // The classic mistake: the thread cannot start until the loader's
        // lock, which this DllMain runs under, is free.
        AppendLogLine(s.log, "hang");
        HANDLE thread = CreateThread(nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, 0, nullptr);
        if (thread) WaitForSingleObject(thread, INFINITE);
    }
}
