// A plug-in host process, as TunerHost holds it: started of the plug-in's
// bitness beside TunerHost.exe, in the job that ends every host with
// TunerHost and in a job of its own nested in it (which ends, with the host,
// whatever its plug-in started), and spoken to over its channel, each request
// with a deadline. Whatever a plug-in does in there, TunerHost waits on it
// only that long.
#pragma once
#include "common/WinHandle.h"
#include "plughost/PlugProtocol.h"
#include "relay/StreamRing.h"

#include <windows.h>

#include <string>
#include <vector>

enum class CallResult {
    Done,     // the reply is in
    Broken,   // the channel broke, the process ended, or the reply made no sense
    TimedOut,
    Aborted,  // the abort event was set
};

class CPlugChild {
public:
    CPlugChild() = default;
    ~CPlugChild() { Kill(); }
    CPlugChild(const CPlugChild&) = delete;
    CPlugChild& operator=(const CPlugChild&) = delete;

    // Starts the host for plug-ins of `machine` (IMAGE_FILE_MACHINE_I386 or
    // _AMD64). With a ring, the host gets its section and events too. False
    // when the host cannot be started (not there, or a 64-bit host on a
    // 32-bit system).
    bool Spawn(WORD machine, const CRingHandles& ring = {});
    bool Alive() const { return process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    HANDLE Process() const { return process_.Get(); }
    WORD Machine() const { return machine_; }

    // One request and its reply, within ms; `abort` (may be null) cuts it
    // short. Anything but Done leaves the host unfit for more: Kill it.
    CallResult Call(PlugRequest request, const std::vector<uint8_t>& args, std::vector<uint8_t>& reply, DWORD ms,
                    HANDLE abort = nullptr);
    // The reply's leading result, or kResultFailed when there was none.
    static uint32_t ResultOf(const std::vector<uint8_t>& reply);

    // Asks the host to end, waits for it, and ends it at the bound (or at
    // once when `abort` is set); what its plug-in started ends with it.
    void Quit(DWORD ms, HANDLE abort = nullptr);
    // Ends the host, and what its plug-in started, at once and waits, within
    // a bound, for it to be gone.
    void Kill();
    void Swap(CPlugChild& other) noexcept;

    // How long a host that was told to end is waited for.
    static constexpr DWORD kExitBoundMs = 5000;

private:
    bool Transfer(bool write, void* buffer, DWORD size, ULONGLONG deadline, HANDLE abort, CallResult& result);

    CHandle process_;
    CHandle job_;  // the host's own; null where jobs do not nest
    CFileHandle channel_;
    CHandle ioEvent_;
    WORD machine_ = 0;
};

// The file name of the host for plug-ins of `machine`, or null when there
// is none for it.
const wchar_t* PlugHostName(WORD machine);
// The machine a DLL is built for (its PE header's), or 0 when the file
// cannot be read as one.
WORD PeMachineOf(const std::wstring& path);
// This build's own machine.
WORD OwnMachine();
