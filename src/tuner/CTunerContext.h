// One tuner plug-in driven for one tuner kind: its module and object, the
// reception and signal-level threads, and the relay with its pipes.
#pragma once
#include "common/WinHandle.h"
#include "common/WorkerThread.h"
#include "config/CConfig.h"
#include "relay/CWorkerGate.h"
#include "relay/ITunerPort.h"
#include "relay/PipeNames.h"
#include "tuner/IBonDriver.h"

#include <memory>

class CStreamRelay;

class CTunerContext final : public ITunerPort {
public:
    // Copies the settings; the relay starts listening on the kind's pipes
    // once the context is complete.
    static std::unique_ptr<CTunerContext> Create(const CDriverInfo& info, BOOL32 terrestrial,
                                                 const CPipeNamePair& pipeNames);
    // Ends a client's connection, closes the tuner and stops the pipes.
    ~CTunerContext();
    CTunerContext(const CTunerContext&) = delete;
    CTunerContext& operator=(const CTunerContext&) = delete;

    // Loads settings.fileName into `module`.
    bool LoadPlugin() override;
    // The plug-in is loaded in `module`.
    BOOL32 Open() override;
    BOOL32 Start() override;
    // The client's channel value: kHz for the terrestrial kind, a TSID for
    // the satellite kind.
    BOOL32 SelectChannel(uint32_t value) override;
    BOOL32 MapFrequency(uint32_t mhz);
    // Retunes with the reception thread parked; on success the stream
    // restarts from the new channel.
    BOOL32 ApplyChannel(uint32_t space, uint32_t channel);
    BOOL32 Close() override;
    void MarkInUse() override;
    void AbandonPlugin() override;
    bool PluginAbandoned() const
    {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&pluginAbandoned_), 0, 0) != 0;
    }

    CDriverInfo settings;
    BOOL32 isTerrestrial = 0;
    CModule module;
    IBonDriver* driver = nullptr;
    IBonDriver2* driver2 = nullptr;
    BOOL32 streaming = 0;
    CWorkerThread receptionThread;
    CWorkerGate receptionGate;
    CWorkerThread signalThread;
    CWorkerGate signalGate;
    volatile float signalLevel = 0.0f;
    // The space and channel last tuned (positions in settings.spaces), -1
    // while none; read by the tray's tip.
    volatile LONG tunedSpace = -1;
    volatile LONG tunedChannel = -1;
    std::unique_ptr<CStreamRelay> relay;
    volatile LONG inUse = 0;

private:
    CTunerContext() = default;
    // A thread of this connection was ended inside the plug-in: its object is
    // never called again, its module never unloaded. Set from any thread.
    volatile LONG pluginAbandoned_ = 0;
    BOOL32 Apply(const struct CSelection& selection);
    void StopThreads();
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
// The fault hook of the reception and signal-level threads.
void PluginThreadFaulted(void* context);
unsigned __stdcall SignalThread(void* param);
