// One tuner plug-in driven for one tuner kind: the plug-in runs in a plug-in
// host process (CPlugChild), a fresh one for each connection (CSpareHost);
// this side chooses its channels, holds the relay with its pipes, and bounds
// every request it makes of the host.
#pragma once
#include "common/WinHandle.h"
#include "config/CConfig.h"
#include "relay/ITunerPort.h"
#include "relay/PipeNames.h"
#include "tuner/CPlugChild.h"
#include "tuner/CSpareHost.h"

#include <memory>

class CStreamRelay;

class CTunerContext final : public ITunerPort {
public:
    // Copies the settings; the relay starts listening on the kind's pipes
    // once the context is complete.
    static std::unique_ptr<CTunerContext> Create(const CDriverInfo& info, BOOL32 terrestrial,
                                                 const CPipeNamePair& pipeNames);
    // Ends a client's connection, closes the tuner, stops the pipes and ends
    // the plug-in host.
    ~CTunerContext();
    CTunerContext(const CTunerContext&) = delete;
    CTunerContext& operator=(const CTunerContext&) = delete;

    // Has a host of the connection's own (the spare, or one started now)
    // load settings.fileName.
    bool LoadPlugin() override;
    BOOL32 Open() override;
    BOOL32 Start() override;
    // The client's channel value: kHz for the terrestrial kind, a TSID for
    // the satellite kind.
    BOOL32 SelectChannel(uint32_t value) override;
    BOOL32 MapFrequency(uint32_t mhz);
    // Retunes with reception parked; on success the stream restarts from the
    // new channel.
    BOOL32 ApplyChannel(uint32_t space, uint32_t channel);
    BOOL32 Close() override;
    void MarkInUse() override;
    void AbandonPlugin() override;
    float SignalLevel() const override;
    // The host's process while there is one (for tests: null otherwise).
    HANDLE HostProcess() const { return host_.Process(); }

    CDriverInfo settings;
    BOOL32 isTerrestrial = 0;
    BOOL32 streaming = 0;
    // The space and channel last tuned (positions in settings.spaces), -1
    // while none; read by the tray's tip.
    volatile LONG tunedSpace = -1;
    volatile LONG tunedChannel = -1;
    std::unique_ptr<CStreamRelay> relay;
    volatile LONG inUse = 0;

    // How long each request may take the host. The first includes starting
    // the host; a working request is cut short by the context's end, the
    // close is not (the plug-in gets its chance to release its device).
    static constexpr DWORD kLoadMs = 15000;
    static constexpr DWORD kOpenMs = 15000;
    static constexpr DWORD kRestartMs = 10000;  // Start and Tune: two parks of 3 s, the plug-in's calls
    static constexpr DWORD kHaltMs = 5000;
    static constexpr DWORD kCloseMs = 5000;

private:
    CTunerContext() = default;
    BOOL32 Apply(const struct CSelection& selection);
    // A request of the host; false unless it answered in time (the host is
    // then ended, and the client's connection with it).
    bool Ask(PlugRequest request, const std::vector<uint8_t>& args, std::vector<uint8_t>& reply, DWORD ms,
             bool abortable = true);
    bool TakeHost();
    void EndHost();
    void Watch();
    void StopWatching();
    static void CALLBACK HostEnded(void* context, BOOLEAN);

    CPlugChild host_;
    CSpareHost spare_;
    WORD machine_ = 0;  // the plug-in's, as its file says
    HANDLE wait_ = nullptr;
    // A connection is using the host: its end ends the connection.
    volatile LONG connected_ = 0;
    volatile LONG abandoned_ = 0;
    CHandle abort_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
