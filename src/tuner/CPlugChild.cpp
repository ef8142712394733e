#include "tuner/CPlugChild.h"

#include "common/CriticalSection.h"
#include "common/PeHead.h"
#include "relay/PipeSecurity.h"

#include <ntsecapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace {

// Every host is in this job, which ends them all when TunerHost ends, however
// it ends: its handle is never closed but by the system, at TunerHost's exit.
HANDLE HostJob()
{
    static const HANDLE job = [] {
        HANDLE j = CreateJobObjectW(nullptr, nullptr);
        if (j) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags =
                JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        return j;
    }();
    return job;
}

// The host's own job, nested in HostJob where the system nests jobs (Windows
// 8 and later): processes its plug-in starts inherit it, so ending the job
// ends them with the host. Null where it cannot be had; the host is then in
// HostJob alone, and what its plug-in started ends only with TunerHost.
HANDLE OwnJob(HANDLE process)
{
    CHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job.Get(), process))
        return nullptr;
    // Nothing of the user's session for a plug-in: no window or other USER
    // handle of a process outside the job (TunerHost's tray window among
    // them), no ExitWindows, no desktop switch, no system settings, no
    // clipboard. Its own windows (COM's, a device notification's) stay its
    // own. Global atoms are left alone: RegisterWindowMessage needs them.
    // Windows enforces this; Wine keeps no UI limits.
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui = {};
    ui.UIRestrictionsClass = JOB_OBJECT_UILIMIT_HANDLES | JOB_OBJECT_UILIMIT_EXITWINDOWS |
                             JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS |
                             JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS | JOB_OBJECT_UILIMIT_READCLIPBOARD |
                             JOB_OBJECT_UILIMIT_WRITECLIPBOARD;
    SetInformationJobObject(job.Get(), JobObjectBasicUIRestrictions, &ui, sizeof ui);
    return job.Release();
}

// Handles made inheritable for one host live only while it is started: two
// kinds starting hosts at once must not hand each other theirs.
CCriticalSection& SpawnLock()
{
    static CCriticalSection lock;
    return lock;
}

std::wstring OwnFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L".";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// A copy for the host with only the rights it needs: never WRITE_DAC, never
// the right to hand them on with more.
HANDLE Inheritable(HANDLE h, DWORD rights)
{
    HANDLE copy = nullptr;
    if (h && !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, rights, TRUE, 0)) return nullptr;
    return copy;
}

// The one attribute a host starts with: the list of the handles it inherits,
// so that no other inheritable handle of TunerHost's (one it inherited itself,
// another kind's made at that moment) reaches it.
class CHandleList {
public:
    explicit CHandleList(const HANDLE* handles, DWORD count)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        list_ = list;
        std::copy(handles, handles + count, handles_);
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, count * sizeof(HANDLE),
                                       nullptr, nullptr))
            ok_ = false;
    }
    ~CHandleList()
    {
        if (list_) DeleteProcThreadAttributeList(list_);
    }
    CHandleList(const CHandleList&) = delete;
    CHandleList& operator=(const CHandleList&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_ && ok_ ? list_ : nullptr; }

private:
    std::string buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    HANDLE handles_[4] = {};  // the list points at them until it is deleted
    bool ok_ = true;
};

// A channel's name nobody can guess, so that no other process can take it
// first and make the host's start fail: 128 bits from the system's generator.
// Empty when there are none to be had.
std::wstring UnguessablePipeName()
{
    uint8_t bytes[16];
    if (!RtlGenRandom(bytes, sizeof bytes)) return {};
    std::wstring name = L"\\\\.\\pipe\\TunerHost-plughost-";
    for (uint8_t b : bytes) {
        name += L"0123456789abcdef"[b >> 4];
        name += L"0123456789abcdef"[b & 15];
    }
    return name;
}

std::wstring Decimal(HANDLE h)
{
    return std::to_wstring(static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(h)));
}

}  // namespace

const wchar_t* PlugHostName(WORD machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386: return kPlugHost32;
    case IMAGE_FILE_MACHINE_AMD64: return kPlugHost64;
    }
    return nullptr;
}

WORD OwnMachine()
{
    return sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
}

WORD PeMachineOf(const std::wstring& path)
{
    CPeHead head;
    return ReadPeHead(path, head) ? head.machine : 0;
}

bool CPlugChild::Spawn(WORD machine, const CRingHandles& ring)
{
    Kill();
    const wchar_t* name = PlugHostName(machine);
    if (!name) return false;
    const std::wstring exe = OwnFolder() + L"\\" + name;
    const std::wstring pipeName = UnguessablePipeName();
    SECURITY_ATTRIBUTES* security = OwnPipeSecurity();
    if (pipeName.empty() || !security) return false;
    channel_.Reset(CreateNamedPipeW(pipeName.c_str(),
                                    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                    64 * 1024, 64 * 1024, 0, security));
    ioEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!channel_ || !ioEvent_) return false;
    PROCESS_INFORMATION pi = {};
    {
        CLock hold(SpawnLock());
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        CFileHandle hostEnd(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0,
                                        nullptr));
        if (!hostEnd) return false;
        OVERLAPPED ov = {};
        ov.hEvent = ioEvent_.Get();
        if (!ConnectNamedPipe(channel_.Get(), &ov)) {
            const DWORD error = GetLastError();
            DWORD unused = 0;
            if (error == ERROR_IO_PENDING) {
                if (WaitForSingleObject(ioEvent_.Get(), 1000) != WAIT_OBJECT_0) {
                    CancelIo(channel_.Get());
                    GetOverlappedResult(channel_.Get(), &ov, &unused, TRUE);
                    return false;
                }
            } else if (error != ERROR_PIPE_CONNECTED) {
                return false;
            }
        }
        // The host maps the ring, signals `ready` and waits on `room`.
        CHandle hostSection(Inheritable(ring.section, FILE_MAP_READ | FILE_MAP_WRITE)),
            hostReady(Inheritable(ring.ready, EVENT_MODIFY_STATE)), hostRoom(Inheritable(ring.room, SYNCHRONIZE));
        if ((ring.section && !hostSection) || (ring.ready && !hostReady) || (ring.room && !hostRoom)) return false;
        HANDLE inherited[4] = {hostEnd.Get()};
        DWORD count = 1;
        for (HANDLE h : {hostSection.Get(), hostReady.Get(), hostRoom.Get()})
            if (h) inherited[count++] = h;
        CHandleList list(inherited, count);
        if (!list.Get()) return false;
        std::wstring line = L"\"" + exe + L"\" " + Decimal(hostEnd.Get()) + L" " + Decimal(hostSection.Get()) + L" " +
                            Decimal(hostReady.Get()) + L" " + Decimal(hostRoom.Get());
        STARTUPINFOEXW si = {};
        si.StartupInfo.cb = sizeof si;
        si.lpAttributeList = list.Get();
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                            &si.StartupInfo, &pi))
            return false;
    }
    process_.Reset(pi.hProcess);
    machine_ = machine;
    // Outside a job (one of TunerHost's own that allows none inside it) the
    // host is still ended by TunerHost on every path.
    if (HANDLE job = HostJob()) AssignProcessToJobObject(job, pi.hProcess);
    // Second: a job a process enters while in another nests in that one.
    job_.Reset(OwnJob(pi.hProcess));
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return true;
}

bool CPlugChild::Transfer(bool write, void* buffer, DWORD size, ULONGLONG deadline, HANDLE abort, CallResult& result)
{
    auto* at = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        OVERLAPPED ov = {};
        ov.hEvent = ioEvent_.Get();
        ResetEvent(ioEvent_.Get());
        DWORD moved = 0;
        const BOOL done = write ? WriteFile(channel_.Get(), at, size, &moved, &ov)
                                : ReadFile(channel_.Get(), at, size, &moved, &ov);
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            result = CallResult::Broken;
            return false;
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        HANDLE handles[3] = {ioEvent_.Get(), process_.Get(), abort};
        const DWORD woke = done ? WAIT_OBJECT_0 : WaitForMultipleObjects(abort ? 3 : 2, handles, FALSE, left);
        if (woke != WAIT_OBJECT_0) {
            // Nothing may touch the buffer once we have gone.
            CancelIo(channel_.Get());
            GetOverlappedResult(channel_.Get(), &ov, &moved, TRUE);
            result = woke == WAIT_TIMEOUT ? CallResult::TimedOut
                     : woke == WAIT_OBJECT_0 + 2 ? CallResult::Aborted
                                                 : CallResult::Broken;
            return false;
        }
        if (!GetOverlappedResult(channel_.Get(), &ov, &moved, FALSE) || moved == 0 || moved > size) {
            result = CallResult::Broken;
            return false;
        }
        at += moved;
        size -= moved;
    }
    return true;
}

CallResult CPlugChild::Call(PlugRequest request, const std::vector<uint8_t>& args, std::vector<uint8_t>& reply,
                            DWORD ms, HANDLE abort)
{
    reply.clear();
    if (!process_ || !channel_) return CallResult::Broken;
    const ULONGLONG deadline = GetTickCount64() + ms;
    std::vector<uint8_t> frame(sizeof(CFrameHeader) + args.size());
    const CFrameHeader header = {static_cast<uint32_t>(args.size()), static_cast<uint32_t>(request)};
    std::memcpy(frame.data(), &header, sizeof header);
    if (!args.empty()) std::memcpy(frame.data() + sizeof header, args.data(), args.size());
    CallResult result = CallResult::Done;
    if (!Transfer(true, frame.data(), static_cast<DWORD>(frame.size()), deadline, abort, result)) return result;
    CFrameHeader answer = {};
    if (!Transfer(false, &answer, sizeof answer, deadline, abort, result)) return result;
    if (answer.code != 0 || answer.size > kMaxFrameBytes) return CallResult::Broken;
    reply.resize(answer.size);
    if (answer.size && !Transfer(false, reply.data(), answer.size, deadline, abort, result)) return result;
    return CallResult::Done;
}

uint32_t CPlugChild::ResultOf(const std::vector<uint8_t>& reply)
{
    uint32_t value = kResultFailed;
    if (reply.size() >= sizeof value) std::memcpy(&value, reply.data(), sizeof value);
    return value;
}

void CPlugChild::Quit(DWORD ms, HANDLE abort)
{
    if (!process_) return;
    std::vector<uint8_t> reply;
    if (Call(PlugRequest::Quit, {}, reply, ms, abort) == CallResult::Done) {
        HANDLE handles[2] = {process_.Get(), abort};
        WaitForMultipleObjects(abort ? 2 : 1, handles, FALSE, ms);
    }
    Kill();
}

void CPlugChild::Kill()
{
    if (job_) TerminateJobObject(job_.Get(), 1);
    if (process_) {
        TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), kExitBoundMs);
    }
    process_.Reset();
    job_.Reset();
    channel_.Reset();
    ioEvent_.Reset();
    machine_ = 0;
}

void CPlugChild::Swap(CPlugChild& other) noexcept
{
    std::swap(process_, other.process_);
    std::swap(job_, other.job_);
    std::swap(channel_, other.channel_);
    std::swap(ioEvent_, other.ioEvent_);
    std::swap(machine_, other.machine_);
}
