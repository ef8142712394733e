#include "CHostProcess.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

bool WriteText(const std::wstring& path, const std::string& text)
{
    CFileHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return f && WriteFile(f.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::string Narrow(const std::wstring& w)
{
    std::string out(w.size() * 3 + 1, '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

std::string ReadSmallFile(const std::wstring& path)
{
    CFileHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f) return {};
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f.Get(), buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
    return text;
}

const wchar_t* SimName(TunerKind kind) { return kind == TunerKind::Terrestrial ? L"BonDriver_SimT" : L"BonDriver_SimS"; }

}  // namespace

CHostProcess::CHostProcess()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    from_ = path;
    from_.resize(from_.find_last_of(L"\\/") + 1);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"tunerhost-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    RemoveFolder();  // left by an earlier process of the same id
    CreateDirectoryW(dir_.c_str(), nullptr);
}

bool CHostProcess::SetSim(TunerKind kind, const std::string& lines)
{
    const std::wstring name = SimName(kind);
    // Built by appending: GCC 12's -Wrestrict misreads "literal" + string&& on i686.
    std::string text = "[Sim]\r\nSpaces=";
    text += kind == TunerKind::Terrestrial ? "T" : "S";
    text += "\r\nLog=";
    text += Narrow(Log((name + L".log").c_str()));
    text += "\r\n";
    text += lines;
    return WriteText(dir_ + name + L".ini", text);
}

bool CHostProcess::SetDescrambler(const std::string& lines)
{
    if (GetFileAttributesW((dir_ + L"b25decoder.dll").c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CopyFileW((from_ + L"b25decoder.dll").c_str(), (dir_ + L"b25decoder.dll").c_str(), FALSE))
        return false;
    return WriteText(dir_ + L"b25decoder.ini", "[B25]\r\nLog=" + Narrow(Log(L"b25decoder.log")) + "\r\n" + lines);
}

bool CHostProcess::Start()
{
    const std::wstring program = program_.empty() ? from_ : program_;
    const bool copied = CopyFileW((program + L"TunerHost.exe").c_str(), (dir_ + L"TunerHost.exe").c_str(), FALSE) &&
                        CopyFileW((from_ + L"BonDriver_Sim.dll").c_str(), (dir_ + L"BonDriver_SimT.dll").c_str(), FALSE) &&
                        CopyFileW((from_ + L"BonDriver_Sim.dll").c_str(), (dir_ + L"BonDriver_SimS.dll").c_str(), FALSE);
    if (!copied) return false;
    // The plug-in hosts TunerHost starts beside itself: this build's, and the
    // other bitness's where it is there too.
    bool host = false;
    for (const wchar_t* name : {L"PlugHost32.exe", L"PlugHost64.exe"})
        host = CopyFileW((program + name).c_str(), (dir_ + name).c_str(), FALSE) ||
               CopyFileW((from_ + name).c_str(), (dir_ + name).c_str(), FALSE) || host;
    if (!host) return false;
    for (TunerKind kind : {TunerKind::Terrestrial, TunerKind::Satellite})
        if (GetFileAttributesW((dir_ + SimName(kind) + L".ini").c_str()) == INVALID_FILE_ATTRIBUTES && !SetSim(kind, ""))
            return false;
    if (!WriteText(dir_ + L"TunerHost.ini", "[Config]\r\nDriverNameT=BonDriver_SimT.dll\r\nDriverNameS=BonDriver_SimS.dll\r\n"))
        return false;
    std::wstring line = L"\"" + dir_ + L"TunerHost.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(), &si, &pi)) return false;
    CloseHandle(pi.hThread);
    process_.Reset(pi.hProcess);
    unixPid_ = 0;  // found again for this process when first asked
    for (int i = 0; i < 300; ++i) {
        window_ = FindWindowW(L"TunerHost", nullptr);
        if (window_) return true;
        if (!Alive()) return false;
        Sleep(100);
    }
    return false;
}

void CHostProcess::Stop()
{
    Exit();
    RemoveFolder();
    dir_.clear();
}

void CHostProcess::Exit()
{
    if (process_) {
        if (window_) PostMessageW(window_, WM_COMMAND, 111, 0);
        if (WaitForSingleObject(process_.Get(), 15000) != WAIT_OBJECT_0) TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), 5000);
        process_.Reset();
        window_ = nullptr;
    }
}

void CHostProcess::RemoveFolder()
{
    if (dir_.empty()) return;
    WIN32_FIND_DATAW found;
    CFindHandle find(FindFirstFileW((dir_ + L"*").c_str(), &found));
    if (find) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((dir_ + found.cFileName).c_str());
        } while (FindNextFileW(find.Get(), &found));
    }
    RemoveDirectoryW(dir_.c_str());
}

bool CHostProcess::Alive() const
{
    return process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

double UnixCpuSeconds(int unixPid)
{
    if (unixPid <= 0) return -1;
    const std::string stat = ReadSmallFile(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // After the name: state, then fields 4 to 13, then utime and stime in clock ticks (100 a second).
    const char* at = stat.c_str() + close + 2;
    for (int field = 3; field < 14 && at; ++field) {
        at = std::strchr(at, ' ');
        if (at) ++at;
    }
    if (!at) return -1;
    char* end = nullptr;
    const double user = std::strtod(at, &end);
    const double system = std::strtod(end, nullptr);
    return (user + system) / 100.0;
}

int FindWineServerPid()
{
    // The server of this prefix: the one whose environment names it. Wine
    // passes the prefix down to every process it starts, this one included.
    wchar_t prefix[4096] = {};
    GetEnvironmentVariableW(L"WINEPREFIX", prefix, ARRAYSIZE(prefix));
    std::string wanted = "WINEPREFIX=";
    for (const wchar_t* c = prefix; *c; ++c) wanted += static_cast<char>(*c);
    WIN32_FIND_DATAW found;
    CFindHandle find(FindFirstFileW(L"Z:\\proc\\*", &found));
    if (!find) return 0;
    int any = 0, count = 0;
    do {
        const int pid = _wtoi(found.cFileName);
        if (pid <= 0) continue;
        const std::wstring dir = L"Z:\\proc\\" + std::wstring(found.cFileName);
        if (ReadSmallFile(dir + L"\\comm").rfind("wineserver", 0) != 0) continue;
        any = pid;
        ++count;
        const std::string variables = ReadSmallFile(dir + L"\\environ");
        if (prefix[0] && variables.find(wanted + '\0') != std::string::npos) return pid;
    } while (FindNextFileW(find.Get(), &found));
    return count == 1 ? any : 0;
}

double CHostProcess::CpuSeconds() const
{
    // Under Wine, GetProcessTimes on another process counts only part of its
    // time (13 % where top showed 90 %): Linux's own count comes first. The
    // plug-in hosts TunerHost started are its cost too: the plug-ins and the
    // descrambler run there.
    if (double seconds = UnixCpuSeconds(UnixPid()); seconds >= 0) {
        for (const int host : FindUnixPids("tunerhost-" + std::to_string(GetCurrentProcessId()) + "\\PlugHost"))
            if (const double s = UnixCpuSeconds(host); s >= 0) seconds += s;
        return seconds;
    }
    FILETIME c, e, k, u;
    if (!GetProcessTimes(process_.Get(), &c, &e, &k, &u)) return 0;
    auto s = [](const FILETIME& f) { return double((uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7; };
    return s(k) + s(u);
}

double CHostProcess::PrivateMB() const
{
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(process_.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    if (m.PrivateUsage) return double(m.PrivateUsage) / 1e6;
    const double kb = ProcStatus("RssAnon:");
    return kb < 0 ? 0 : kb * 1024 / 1e6;
}

double CHostProcess::WorkingSetMB() const
{
    PROCESS_MEMORY_COUNTERS m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(process_.Get(), &m, sizeof m);
    if (m.WorkingSetSize) return double(m.WorkingSetSize) / 1e6;
    const double kb = ProcStatus("VmRSS:");
    return kb < 0 ? 0 : kb * 1024 / 1e6;
}


std::vector<int> FindUnixPids(const std::string& marker)
{
    std::vector<int> pids;
    WIN32_FIND_DATAW found;
    CFindHandle find(FindFirstFileW(L"Z:\\proc\\*", &found));
    if (!find) return pids;
    do {
        const int pid = _wtoi(found.cFileName);
        if (pid <= 0) continue;
        const std::string line = ReadSmallFile(L"Z:\\proc\\" + std::wstring(found.cFileName) + L"\\cmdline");
        // A Wine process's first field is its program; shells that started it also name it.
        const std::string program = line.substr(0, line.find('\0'));
        const bool isWindowsProgram = program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
        if (isWindowsProgram && line.find(marker) != std::string::npos) pids.push_back(pid);
    } while (FindNextFileW(find.Get(), &found));
    return pids;
}

int FindUnixPid(const std::string& marker)
{
    const std::vector<int> pids = FindUnixPids(marker);
    return pids.empty() ? 0 : pids.front();
}

double UnixStatusKb(int unixPid, const char* field)
{
    if (unixPid <= 0) return -1;
    const std::string status = ReadSmallFile(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\status");
    const size_t at = status.find(field);
    return at == std::string::npos ? -1 : std::atof(status.c_str() + at + std::strlen(field));
}

int CHostProcess::UnixPid() const
{
    if (unixPid_ == 0) {
        unixPid_ = FindUnixPid("tunerhost-" + std::to_string(GetCurrentProcessId()) + "\\TunerHost.exe");
        if (unixPid_ == 0) unixPid_ = -1;
    }
    return unixPid_;
}

double CHostProcess::ProcStatus(const char* field) const
{
    return UnixStatusKb(UnixPid(), field);
}

namespace {

// The system's process list: Wine fills its handle count from the server,
// where GetProcessHandleCount on another process gives nothing.
DWORD HandlesFromProcessList(DWORD pid)
{
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    std::vector<uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    if (query(5 /* SystemProcessInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) return 0;
    // The leading members of SYSTEM_PROCESS_INFORMATION, as the platform lays them out.
    struct Entry {
        ULONG NextEntryOffset;
        ULONG NumberOfThreads;
        BYTE Reserved1[48];
        USHORT Length, MaximumLength;
        PWSTR Buffer;
        LONG BasePriority;
        HANDLE UniqueProcessId;
        HANDLE InheritedFromUniqueProcessId;
        ULONG HandleCount;
    };
    for (size_t at = 0;;) {
        const auto* e = reinterpret_cast<const Entry*>(buffer.data() + at);
        if (reinterpret_cast<uintptr_t>(e->UniqueProcessId) == pid) return e->HandleCount;
        if (!e->NextEntryOffset) return 0;
        at += e->NextEntryOffset;
    }
}

// The handles a process holds now, from the system's handle list. Wine's
// process list gives the size of the process's handle table instead, which
// only ever grows; this is the count that can come back down.
DWORD LiveHandles(DWORD pid)
{
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch && buffer.size() < (64u << 20)) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) return 0;
        break;
    }
    // SYSTEM_HANDLE_TABLE_ENTRY_INFO as the platform lays it out; its process
    // id is the low 16 bits on Windows, whole under Wine.
    struct Entry {
        ULONG ProcessId;
        UCHAR ObjectTypeIndex;
        UCHAR HandleAttributes;
        USHORT HandleValue;
        PVOID Object;
        ULONG GrantedAccess;
    };
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    if (sizeof(void*) + size_t{count} * sizeof(Entry) > buffer.size()) return 0;
    DWORD n = 0;
    for (ULONG i = 0; i < count; ++i)
        if (entries[i].ProcessId == pid) ++n;
    return n;
}

}  // namespace

DWORD CHostProcess::Handles() const
{
    DWORD n = 0;
    GetProcessHandleCount(process_.Get(), &n);
    if (n) return n;
    const DWORD pid = GetProcessId(process_.Get());
    n = LiveHandles(pid);
    return n ? n : HandlesFromProcessList(pid);
}

DWORD CHostProcess::Threads() const
{
    const DWORD pid = GetProcessId(process_.Get());
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    THREADENTRY32 t = {};
    t.dwSize = sizeof t;
    DWORD n = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &t); more; more = Thread32Next(snapshot.Get(), &t))
        if (t.th32OwnerProcessID == pid) ++n;
    return n;
}

DWORD CHostProcess::Children() const
{
    const DWORD pid = GetProcessId(process_.Get());
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W p = {};
    p.dwSize = sizeof p;
    DWORD n = 0;
    for (BOOL more = Process32FirstW(snapshot.Get(), &p); more; more = Process32NextW(snapshot.Get(), &p))
        if (p.th32ParentProcessID == pid && p.th32ProcessID != pid) ++n;
    return n;
}

int CHostProcess::CountIn(const std::wstring& file, const char* event) const
{
    CFileHandle f(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
    if (!f) return 0;
    std::string text;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f.Get(), buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
    int n = 0;
    const size_t len = std::strlen(event);
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop - at >= len && text.compare(at, len, event) == 0 && (stop - at == len || text[at + len] == ' ')) ++n;
        at = stop + 1;
    }
    return n;
}

int CHostProcess::Count(TunerKind kind, const char* event) const
{
    return CountIn(Log((std::wstring(SimName(kind)) + L".log").c_str()), event);
}

int CHostProcess::CountDescrambler(const char* event) const { return CountIn(Log(L"b25decoder.log"), event); }
