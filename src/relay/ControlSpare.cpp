#include "relay/ControlSpare.h"

#include "relay/CPipeServer.h"
#include "relay/PipeSecurity.h"

HANDLE CreateControlInstance(const std::wstring& name, bool first)
{
    SECURITY_ATTRIBUTES* security = OwnPipeSecurity();
    if (!security) return INVALID_HANDLE_VALUE;
    return CreateNamedPipeW(name.c_str(),
                            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            kPipeMode, kControlPipeInstances, kControlPipeBufferSize, kControlPipeBufferSize,
                            kControlPipeTimeoutMs, security);
}

bool MakeControlInstanceBusy(HANDLE instance, const std::wstring& name)
{
    // The only instance that listens takes this open.
    CFileHandle own(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!own) {
        // Nothing listened: a client connected first, or one came and went.
        DWORD waiting = 0;
        if (PeekNamedPipe(instance, nullptr, 0, nullptr, &waiting, nullptr)) return true;
    }
    DisconnectNamedPipe(instance);
    return false;
}

CControlSpare::CControlSpare() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CControlSpare::~CControlSpare()
{
    Close();
}

void CALLBACK CControlSpare::Connected(void* self, BOOLEAN)
{
    // On a thread of the pool; the instance stays while the wait is registered.
    CControlSpare& s = *static_cast<CControlSpare*>(self);
    DWORD ignored = 0;
    if (!GetOverlappedResult(s.instance_.Get(), &s.ov_, &ignored, FALSE)) return;
    InterlockedExchange(&s.came_, 1);
    s.gate_->Interrupt();
}

bool CControlSpare::Listen(CWorkerGate& gate)
{
    if (listening_ || Came()) return true;
    if (!instance_ || !event_) return false;
    gate_ = &gate;
    ov_ = {};
    ov_.hEvent = event_.Get();
    ResetEvent(event_.Get());
    if (!ConnectNamedPipe(instance_.Get(), &ov_)) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) {
            InterlockedExchange(&came_, 1);
            gate.Interrupt();
            return true;
        }
        if (error != ERROR_IO_PENDING) return false;
    }
    listening_ = true;
    if (RegisterWaitForSingleObject(&wait_, event_.Get(), Connected, this, INFINITE, WT_EXECUTEONLYONCE)) return true;
    wait_ = nullptr;
    Stop(true);
    return false;
}

bool CControlSpare::Stop(bool keepBusy)
{
    if (!listening_) return Came();
    listening_ = false;
    // Its callback, if it runs, has returned when this does.
    if (wait_) UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    wait_ = nullptr;
    CancelIoEx(instance_.Get(), &ov_);
    DWORD ignored = 0;
    // A client that connected before the cancel, or right after it.
    if (GetOverlappedResult(instance_.Get(), &ov_, &ignored, TRUE) ||
        (keepBusy && MakeControlInstanceBusy(instance_.Get(), name_))) {
        InterlockedExchange(&came_, 1);
        return true;
    }
    return false;
}

void CControlSpare::Exchange(CFileHandle& serving)
{
    std::swap(instance_, serving);
    InterlockedExchange(&came_, 0);
}

void CControlSpare::Close()
{
    if (listening_) Stop(false);
    instance_.Reset();
    InterlockedExchange(&came_, 0);
}
