// One tuner plug-in driven for one connection, in the plug-in host: its
// module and object, the reception and signal-level threads, and the host's
// half of the relay. TunerHost drives it request by request (PlugProtocol.h)
// and bounds each request; here nothing is bounded but the parks, as the
// tuner always did: a call that never comes back leaves the request
// unanswered, and TunerHost ends this process.
#pragma once
#include "common/WinHandle.h"
#include "plughost/CHostRelay.h"
#include "relay/CWorkerGate.h"
#include "tuner/IBonDriver.h"

#include <string>

class CPlugTuner {
public:
    explicit CPlugTuner(const CRingWriter& ring) : relay(ring), ring(ring) {}
    ~CPlugTuner() { Close(); }
    CPlugTuner(const CPlugTuner&) = delete;
    CPlugTuner& operator=(const CPlugTuner&) = delete;

    // The descrambler, then the plug-in by the name TunerHost was given.
    bool Load(const std::wstring& fileName);
    bool Open();
    // Start and Tune leave the reception thread parked, the queue purged:
    // TunerHost empties its side and then resumes. kResult* values.
    uint32_t Start();
    uint32_t Tune(uint32_t space, uint32_t channel);
    bool Halt();
    void Resume();
    void Close();

    static constexpr DWORD kParkMs = 3000;

    CHostRelay relay;
    CRingWriter ring;
    CModule module;
    IBonDriver* driver = nullptr;
    IBonDriver2* driver2 = nullptr;
    bool streaming = false;
    CHandle receptionThread;
    CWorkerGate receptionGate;
    CHandle signalThread;
    CWorkerGate signalGate;

private:
    uint32_t Restart();
    void StopThread(CHandle& thread, CWorkerGate& gate, DWORD parkMs);
};

// The reception thread's adaptive wait between passes over the plug-in.
struct CAdaptiveWait {
    static constexpr unsigned kMaxWaitMs = 10;
    static constexpr unsigned kIdlePassesPerStep = 10;
    unsigned wait = 0;
    unsigned idle = 0;
    // After each block of data.
    void OnData();
    // At the end of a pass that got nothing.
    void OnEmptyPass();
};

unsigned __stdcall ReceptionThread(void* param);
unsigned __stdcall SignalThread(void* param);
