// TunerHost started for a test in a folder of its own, with a copy of the
// simulated plug-in for each kind: BonDriver_SimT.dll (terrestrial spaces)
// and BonDriver_SimS.dll (satellite spaces), each logging to its own file.
#pragma once
#include "TestUtil.h"
#include "TunerClient.h"
#include "SimStream.h"

#include <algorithm>
#include <vector>
#include <string>

class CHostRun {
public:
    explicit CHostRun(const wchar_t* name);
    // Replaces a plug-in's [Sim] settings (its log stays); read at each open.
    void SetSim(TunerKind kind, const std::string& settings);
    // Another build of the simulated plug-in serves the kind: `path`, copied
    // over its DLL.
    bool UsePlugin(TunerKind kind, const std::wstring& path);
    // Starts TunerHost and waits until its pipes listen.
    bool Start(DWORD ms = 30000);
    // TunerHost.ini: both kinds configured, then the given sections.
    void SetHostIni(const std::string& sections);
    // Puts the stand-in descrambler beside TunerHost.exe with these [B25] settings.
    void AddDescrambler(const std::string& settings);
    // The number of lines equal to `event` in a plug-in's log.
    int Count(TunerKind kind, const char* event) const;
    int CountDescrambler(const char* event) const;
    // The tray menu's Exit; true when TunerHost ended with 0 within ms.
    bool Exit(DWORD ms);

    CTempDir dir;
    CChild host;
    HWND window = nullptr;

private:
    std::wstring LogPath(TunerKind kind) const;
};

// Lines equal to `event` in a log file.
int CountLines(const std::wstring& path, const char* event);

// Checks received data messages against the simulated plug-in's stream,
// regenerated here: whole messages, every byte of the payload packets as
// produced, one channel. The table slots hold what the plug-in's clock made
// them: there only a packet's start is checked.
class CSimReplica {
public:
    CSimReplica(uint32_t space, uint32_t channel, SimBand band = SimBand::Uhf) : space_(space), channel_(channel)
    {
        stream_.SetChannel(space, channel, band);
    }
    // Empty when the message is right; otherwise what is wrong.
    std::string Check(const uint8_t* message, size_t size);
    uint64_t Bytes() const { return bytes_; }

private:
    CSimStream stream_;
    uint32_t space_, channel_;
    bool synced_ = false;
    uint8_t packet_[kTsPacketSize] = {};
    size_t used_ = 0;  // bytes of packet_ already matched
    uint64_t bytes_ = 0;
};

#include <ostream>
inline std::ostream& operator<<(std::ostream& os, ClientError e) { return os << Describe(e); }

// Waits until pred holds, up to ms of the clock however long pred takes;
// true when it did.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        if (pred()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);
    }
}

// A client that has opened the tuner and its data pipe.
struct CStreamClient {
    CTunerClient client;
    TunerKind kind = TunerKind::Terrestrial;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kDataMessageSize);

    ClientError Connect(TunerKind kind);
    ClientError Read(DWORD& got, DWORD ms = 5000)
    {
        return client.ReadData(buffer.data(), kDataMessageSize, got, ms);
    }
    // Reads n messages and checks them against the plug-in's stream on that
    // channel. With `xored`, each message is first undone with the key that
    // its first byte gives (the stand-in descrambler's transform).
    void Verify(int n, uint32_t space = 0, uint32_t channel = 0, bool xored = false);
    // After a retune: skips messages wholly of the old channel, then checks n
    // of the new one; nothing of the old may follow the first new byte.
    void VerifyAfterTune(int n, uint32_t space, uint32_t channel, bool xored = false);
};

// A client of the kind served within `ms`: connects, opens the data pipe,
// reads a message.
ClientError ServedWithin(TunerKind kind, DWORD ms);
