// BonDriver_Sim.dll: a simulated tuner plug-in, built as users' plug-ins are
// (Microsoft's C++ ABI, no C runtime). Its behaviour, faults included, is read
// from an INI file named like the DLL (BonDriver_Sim.ini beside
// BonDriver_Sim.dll), section [Sim]:
//   Spaces=T            T: UHF, CATV, VHF; S: BS, CS110; TS: all five
//   EmptyFirstSpace=1   a leading space without channels
//   NoSpaces=1          lists no space at all
//   EndlessSpaces=1 / EndlessChannels=1   lists that never end
//   OpenFails=1, TuneFails=1, FactoryNull=1, NoInterface2=1
//   FetchMode=0         0: whole packets; 1: odd sizes; 2: never any data
//   SlowMs=0            delay added to Open, Tune and FetchBlock
//   OpenHangMs=0        Open sleeps this long (logging "hang" first); -1: Open
//                       never returns
//   HangHoldsLock=1     ...holding a lock of the module's, which unloading it
//                       takes (as a device's detach code waits for its open)
//   CloseHangMs=0       Close sleeps this long (logging "hang" first); -1:
//                       Close never returns
//   OpenFault=0, TuneFault=0, FetchFault=0   a fault in that call (logging
//                       "fault" first): 1 an access violation, 2 a C++
//                       exception that nothing in the plug-in catches
//   FetchFaultAfterMs=0 ...in the first FetchBlock this long after Open
//   NamesFreed=1        SpaceName and ChannelName return memory already freed
//   WaitingLies=1       FetchBlock hands nothing and says more is waiting;
//                       Close logs "fetches N", the number of calls
//   FetchHangMs=0       the first FetchBlock after Open sleeps this long, then
//                       hands out one block made before it slept
//   FetchHangAfterMs=0  ...the first one this long after Open, instead
//   ReaderThread=0      1: a thread of the plug-in's own reads the device into
//                       a ring buffer that FetchBlock takes from, both under
//                       one lock, which a stall in FetchBlock holds; unloading
//                       stops the readers of objects never closed, taking
//                       their locks. 2: the same, but a stall does not hold
//                       the lock, and unloading leaves the readers running
//   RateKBps=2000       stream rate; 0: as fast as it is taken
//   SourceFile=path     replays a transport-stream file instead of the
//                       generated stream, at the rate its PCRs give unless
//                       RateKBps says otherwise; it loops, counters carried on
//                       and the seam flagged as a discontinuity, and starts
//                       over (as at the seam) at each tune
//   Stamp=1             payload packets carry the moment they were handed out
//   Layout=0            where the object keeps its interfaces: 0 as its only
//                       base; 1 in a second base, at an offset within the
//                       object; 2 in a virtual base
//   Misbehave=NAME      what a rough plug-in does that no handler can contain
//                       (SimMisbehaviour.h), logging "misbehave" first
//   MisbehaveIn=Open    ...in Open, Tune, or Fetch: the first FetchBlock
//   MisbehaveAfterMs=0  ...this long after Open; a thread, timer or work item
//                       of its own faults this long after Open started it
//   Trigger=path        ...or, for those, once this file exists
//   DllMainHang=1       DllMain waits for a thread it started: for ever
//   DllMainSlowMs=0     DllMain sleeps this long (logging "slow" first)
//   DllMainFault=0      DllMain faults (as OpenFault)
//   Relay=27:29         UHF channel 29 carries channel 27's broadcast, ids
//                       and all, as a relay transmitter of the station does
//   TuneFailsOn=27      Tune of that UHF channel fails
//   Scrambled=7681      that service's video and audio packets go out
//                       scrambled (scrambling control '11')
//   Drops=7681:500      one in 500 of each of that service's video and audio
//                       PIDs' payload packets is left out (a null packet in
//                       its place): their continuity counters jump there
//   GuideBlockSeconds=120  programmes repeat every 120 s instead of three
//                       hours, each as much shorter; present/following only
//   GuideBlockStart=T   ...with a block starting at T (seconds since 1970,
//                       UTC) rather than at multiples of the block
//   GuideLate=7681:8    ...the first programme of each of service 7681's
//                       blocks starts 8 s late (ending as planned): its
//                       present/following says so 10 s before its planned
//                       start, the programme before going on until then
//   Log=path            appends one line per event (load, create, open, ...)
#include "CSimTuner.h"
#include "Faults.h"
#include "Kernel32.h"
#include "PluginFiles.h"
#include "SimMisbehaviour.h"

namespace {
HMODULE g_module = nullptr;
}  // namespace

// Outside any anonymous namespace, the classes' names in the type information
// are the plain ones, which tests look for.

// IBonDriver's slots over the simulated tuner. Self is the final class,
// which Destroy deletes.
template <typename Self, typename Interface>
class CSimSlots : public Interface {
public:
    explicit CSimSlots(const SimSettings& s) : tuner_(s) {}
    BOOL32 Open() override
    {
        return Guarded([&] { return tuner_.Open(); });
    }
    void Close() override { tuner_.Close(); }
    float ReadLevel() override { return tuner_.ReadLevel(); }
    BOOL32 FetchBlock(uint8_t** d, uint32_t* s, uint32_t* w) override
    {
        return Guarded([&] { return tuner_.FetchBlock(d, s, w); });
    }
    // The slots that only apps call, never TunerHost: inert.
    BOOL32 TuneInSpace(uint8_t) override { return 0; }
    uint32_t WaitForStream(uint32_t) override { return kStreamTimedOut; }
    uint32_t ReadyBlocks() override { return 0; }
    BOOL32 CopyStream(uint8_t*, uint32_t* size, uint32_t*) override
    {
        *size = 0;
        return 0;
    }
    void Discard() override { tuner_.Discard(); }
    void Destroy() override
    {
        AppendLogLine(tuner_.Settings().log, "destroy");
        delete static_cast<Self*>(this);
    }

protected:
    ~CSimSlots() = default;
    // Built with C++ exceptions, the device's errors come as SimDeviceError
    // and are caught here: the calls' frames have handlers, as such a
    // plug-in's do, which faults pass through.
    template <typename Call>
    static BOOL32 Guarded(Call call)
    {
#if defined(__cpp_exceptions)
        try {
            return call();
        } catch (const SimDeviceError&) {
            return 0;
        }
#else
        return call();
#endif
    }
    CSimTuner tuner_;
};

// ...and IBonDriver2's.
template <typename Self, typename Interface>
class CSimSlots2 : public CSimSlots<Self, Interface> {
public:
    using CSimSlots<Self, Interface>::CSimSlots;
    const wchar_t* TunerName() override { return L"Simulated tuner"; }
    BOOL32 IsOpen() override { return 0; }
    uint32_t CurrentSpace() override { return kNotTuned; }
    uint32_t CurrentChannel() override { return kNotTuned; }
    const wchar_t* SpaceName(uint32_t s) override { return this->tuner_.SpaceName(s); }
    const wchar_t* ChannelName(uint32_t s, uint32_t c) override { return this->tuner_.ChannelName(s, c); }
    BOOL32 Tune(uint32_t s, uint32_t c) override
    {
        return this->Guarded([&] { return this->tuner_.Tune(s, c); });
    }

protected:
    ~CSimSlots2() = default;
};

// A plug-in of the older kind: its type information has no IBonDriver2.
class CSimDriver1 final : public CSimSlots<CSimDriver1, IBonDriver> {
public:
    using CSimSlots::CSimSlots;
};

// Layout 0, the usual plug-in: the interfaces are its only base.
class CSimDriver2 final : public CSimSlots2<CSimDriver2, IBonDriver2> {
public:
    using CSimSlots2::CSimSlots2;
};

// Layout 1: a first base with a table of its own, as a plug-in's device class
// may be, puts the interfaces at an offset within the object.
class CSimDevice {
public:
    virtual uint32_t DeviceId() const { return 0x53494D31; }

protected:
    ~CSimDevice() = default;
};

class CSimDriverAtOffset final : public CSimDevice, public CSimSlots2<CSimDriverAtOffset, IBonDriver2> {
public:
    using CSimSlots2::CSimSlots2;
};

// Layout 2: the interfaces in a virtual base, found through the object's
// virtual-base table.
struct IBonDriver2Virtual : public virtual IBonDriver2 {
protected:
    ~IBonDriver2Virtual() = default;
};

class CSimDriverVirtual final : public CSimSlots2<CSimDriverVirtual, IBonDriver2Virtual> {
public:
    using CSimSlots2::CSimSlots2;
};

extern "C" __declspec(dllexport) IBonDriver* __cdecl CreateBonDriver()
{
    SimSettings s;
    LoadSimSettings(g_module, s);
    AppendLogLine(s.log, "create");
    if (s.factoryNull) return nullptr;
    if (s.noInterface2) return new CSimDriver1(s);
    switch (s.layout) {
    case 1:
        return static_cast<IBonDriver2*>(new CSimDriverAtOffset(s));
    case 2:
        return static_cast<IBonDriver2*>(new CSimDriverVirtual(s));
    default:
        return new CSimDriver2(s);
    }
}

extern "C" BOOL WINAPI DllMain(HMODULE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        SimSettings s;
        LoadSimSettings(instance, s);
        AppendLogLine(s.log, "load");
        MisbehaveAtAttach(s);
    } else if (reason == DLL_PROCESS_DETACH) {
        SimSettings s;
        LoadSimSettings(g_module, s);
        AppendLogLine(s.log, "unload");
        if (!reserved) CSimTuner::OnUnload();  // at process exit, other threads are gone
    }
    return TRUE;
}
