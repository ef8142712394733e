#include "tuner/CTunerContext.h"

#include "plughost/Wire.h"
#include "relay/CStreamRelay.h"
#include "tuner/ChannelSelection.h"

#include <new>

namespace {

// Where the loader finds the plug-in by its name (the program's folder
// first), to read whose bitness it is.
std::wstring PluginPath(const std::wstring& fileName)
{
    wchar_t found[MAX_PATH * 4] = {};
    const DWORD n = SearchPathW(nullptr, fileName.c_str(), nullptr, ARRAYSIZE(found), found, nullptr);
    return n > 0 && n < ARRAYSIZE(found) ? std::wstring(found, n) : fileName;
}

}  // namespace

std::unique_ptr<CTunerContext> CTunerContext::Create(const CDriverInfo& info, BOOL32 terrestrial,
                                                     const CPipeNamePair& pipeNames)
{
    // Called on the settings sheet's thread too, where nothing catches: a
    // context that cannot be allocated leaves the slot empty.
    std::unique_ptr<CTunerContext> t(new (std::nothrow) CTunerContext);
    if (!t) return nullptr;
    t->settings = info;
    t->isTerrestrial = terrestrial ? 1 : 0;
    t->relay.reset(new (std::nothrow) CStreamRelay(t.get(), pipeNames));
    // Only now: the control worker reads the relay from the context as soon
    // as a client connects.
    if (t->relay) t->relay->Listen();
    return t;
}

CTunerContext::~CTunerContext()
{
    // A request in progress is cut short; a connected client's connection
    // ends through the control worker, which closes the tuner itself: two
    // threads never close one tuner.
    SetEvent(abort_.Get());
    // No spare is started from here on; a host a connection is done with is
    // ended at once.
    spare_.End();
    if (relay && relay->PipeServer()) relay->PipeServer()->StopWorkers();
    Close();
    StopWatching();
    spare_.End();
    host_.Kill();
    relay.reset();
}

void CALLBACK CTunerContext::HostEnded(void* context, BOOLEAN)
{
    // On a thread of the system's pool: waits on nothing.
    auto& t = *static_cast<CTunerContext*>(context);
    if (InterlockedCompareExchange(&t.connected_, 0, 0) && t.relay && t.relay->PipeServer())
        t.relay->PipeServer()->EndConnection();
}

void CTunerContext::Watch()
{
    StopWatching();
    if (!RegisterWaitForSingleObject(&wait_, host_.Process(), HostEnded, this, INFINITE,
                                     WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
        wait_ = nullptr;
}

void CTunerContext::StopWatching()
{
    if (wait_) UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    wait_ = nullptr;
}

void CTunerContext::EndHost()
{
    StopWatching();
    host_.Kill();
    InterlockedExchange(&abandoned_, 0);
}

bool CTunerContext::TakeHost()
{
    machine_ = PeMachineOf(PluginPath(settings.fileName));
    // Unreadable: a host of our own bitness tries, and fails as the loader does.
    if (!PlugHostName(machine_)) machine_ = OwnMachine();
    EndHost();
    if (!relay || !relay->RingHandles().section) return false;
    if (!spare_.Take(host_, machine_, kLoadMs) && !host_.Spawn(machine_, relay->RingHandles())) return false;
    Watch();
    return true;
}

bool CTunerContext::Ask(PlugRequest request, const std::vector<uint8_t>& args, std::vector<uint8_t>& reply, DWORD ms,
                        bool abortable)
{
    if (host_.Call(request, args, reply, ms, abortable ? abort_.Get() : nullptr) == CallResult::Done) return true;
    // Missed its deadline, or gone: the host goes, and the client's
    // connection ends as a failed open ends it.
    const bool wasConnected = InterlockedExchange(&connected_, 0) != 0;
    EndHost();
    if (wasConnected && relay && relay->PipeServer()) relay->PipeServer()->EndConnection();
    return false;
}

bool CTunerContext::LoadPlugin()
{
    if (!TakeHost()) return false;
    InterlockedExchange(&connected_, 1);
    CWireWriter args;
    args.Text(settings.fileName);
    std::vector<uint8_t> reply;
    return Ask(PlugRequest::Load, args.Bytes(), reply, kLoadMs) && CPlugChild::ResultOf(reply) == kResultDone;
}

void CTunerContext::MarkInUse()
{
    InterlockedExchange(&inUse, 1);
    // The client is served: the next one's host starts now.
    if (relay) spare_.Prepare(machine_, relay->RingHandles());
}

void CTunerContext::AbandonPlugin()
{
    InterlockedExchange(&abandoned_, 1);
}

float CTunerContext::SignalLevel() const
{
    return relay ? relay->SignalLevel() : 0.0f;
}

BOOL32 CTunerContext::Open()
{
    std::vector<uint8_t> reply;
    if (!Ask(PlugRequest::Open, {}, reply, kOpenMs)) return 0;
    streaming = 0;
    return CPlugChild::ResultOf(reply) == kResultDone;
}

BOOL32 CTunerContext::Start()
{
    if (streaming) return 1;
    std::vector<uint8_t> reply;
    if (!Ask(PlugRequest::Start, {}, reply, kRestartMs)) return 0;
    const uint32_t result = CPlugChild::ResultOf(reply);
    if (result != kResultDone) return 0;
    streaming = 1;
    // The host has purged its side with reception parked; now this side.
    if (relay && !relay->Purge()) return 0;
    return Ask(PlugRequest::Resume, {}, reply, kHaltMs) ? 1 : 0;
}

BOOL32 CTunerContext::SelectChannel(uint32_t value)
{
    if (isTerrestrial) return MapFrequency(value / 1000);
    return Apply(DecideChannel(value, false, settings));
}

BOOL32 CTunerContext::MapFrequency(uint32_t mhz)
{
    return Apply(DecideChannel(mhz * 1000, true, settings));
}

BOOL32 CTunerContext::Apply(const CSelection& selection)
{
    switch (selection.outcome) {
    case SelectOutcome::Tune:
        return ApplyChannel(static_cast<uint32_t>(selection.target.space), selection.target.channel);
    case SelectOutcome::NotServed: {
        // The stream stops until a later selection succeeds.
        std::vector<uint8_t> reply;
        Ask(PlugRequest::Halt, {}, reply, kHaltMs);
        return 0;
    }
    case SelectOutcome::UnknownTsid:
        break;  // stays on the current channel
    }
    return 0;
}

BOOL32 CTunerContext::ApplyChannel(uint32_t space, uint32_t channel)
{
    // The fixed-channel override has been applied by DecideChannel.
    CWireWriter args;
    args.U32(space);
    args.U32(channel);
    std::vector<uint8_t> reply;
    if (!Ask(PlugRequest::Tune, args.Bytes(), reply, kRestartMs)) return 0;
    const uint32_t result = CPlugChild::ResultOf(reply);
    if (result == kResultStreamLost && relay) relay->MarkStreamLost();
    if (result != kResultDone) return 0;  // reception stays parked
    if (relay && !relay->Purge()) {
        relay->MarkStreamLost();
        return 0;
    }
    InterlockedExchange(&tunedChannel, -1);
    InterlockedExchange(&tunedSpace, static_cast<LONG>(space));
    InterlockedExchange(&tunedChannel, static_cast<LONG>(channel));
    return Ask(PlugRequest::Resume, {}, reply, kHaltMs) ? 1 : 0;
}

BOOL32 CTunerContext::Close()
{
    streaming = 0;
    const bool wasConnected = InterlockedExchange(&connected_, 0) != 0;
    if (wasConnected && host_.Alive()) {
        std::vector<uint8_t> reply;
        // One that broke the rules is not asked: it is ended.
        if (InterlockedCompareExchange(&abandoned_, 0, 0) ||
            host_.Call(PlugRequest::Close, {}, reply, kCloseMs) != CallResult::Done)
            EndHost();
    }
    if (wasConnected) {
        // Never used again: it ends in the background, and the next client
        // gets the spare.
        StopWatching();
        spare_.Retire(host_);
        if (relay) spare_.Prepare(machine_, relay->RingHandles());
    }
    if (!relay) return 0;
    relay->Stop();
    InterlockedExchange(&tunedChannel, -1);
    InterlockedExchange(&tunedSpace, -1);
    InterlockedExchange(&inUse, 0);
    return 1;
}
