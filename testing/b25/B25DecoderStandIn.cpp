// b25decoder.dll: a stand-in descrambler for tests and demos, built as users'
// plug-ins are (Microsoft's C++ ABI, no C runtime). It "descrambles" by
// XOR-ing every byte with a key that changes at each start-up, so a receiver
// can undo it and check the stream. Settings come from b25decoder.ini beside
// the DLL, section [B25]:
//   StartupFails=1   start-up returns 0
//   NoInterface2=1   the instance offers IB25Decoder only
//   OutputMode=0     0: XOR; 1: succeed with no output; 2: only the first half
//                    of each block; 3: decoding fails
//   FailAfter=N      from the N+1st block on, decoding fails (mid-stream)
//   DecodeHangMs=N   the first Decode blocks this long, as a descrambler
//                    waiting on its card reader does
//   DecodeFault=N    the first Decode faults: 1 an access violation, 2 a C++
//                    exception that nothing in the library catches
//   Trigger=path     DecodeHangMs and DecodeFault wait for this file: the
//                    first Decode after it exists hangs or faults
//   CreateHang=1     the factory never returns; StartupHang=1: nor does the
//                    first start-up (each logging "hang")
//   DetachMs=N       unloading (FreeLibrary) takes this long
//   Log=path         one line per event: load, create, startup, configure,
//                    hang, release, unload
#include "CByteBuffer.h"
#include "Faults.h"
#include "Kernel32.h"
#include "PluginFiles.h"
#include "relay/IB25Decoder.h"

namespace {

HMODULE g_module = nullptr;

struct StandInSettings {
    int startupFails, noInterface2, outputMode, failAfter, decodeHangMs, detachMs;
    int decodeFault, createHang, startupHang;
    wchar_t log[1024];
    wchar_t trigger[1024];
};

void LoadSettings(StandInSettings& s)
{
    wchar_t ini[kPluginPathLength];
    SettingsPathOf(g_module, ini);
    s.startupFails = static_cast<int>(GetPrivateProfileIntW(L"B25", L"StartupFails", 0, ini));
    s.noInterface2 = static_cast<int>(GetPrivateProfileIntW(L"B25", L"NoInterface2", 0, ini));
    s.outputMode = static_cast<int>(GetPrivateProfileIntW(L"B25", L"OutputMode", 0, ini));
    s.failAfter = static_cast<int>(GetPrivateProfileIntW(L"B25", L"FailAfter", 0, ini));
    s.decodeHangMs = static_cast<int>(GetPrivateProfileIntW(L"B25", L"DecodeHangMs", 0, ini));
    s.detachMs = static_cast<int>(GetPrivateProfileIntW(L"B25", L"DetachMs", 0, ini));
    s.decodeFault = static_cast<int>(GetPrivateProfileIntW(L"B25", L"DecodeFault", 0, ini));
    s.createHang = static_cast<int>(GetPrivateProfileIntW(L"B25", L"CreateHang", 0, ini));
    s.startupHang = static_cast<int>(GetPrivateProfileIntW(L"B25", L"StartupHang", 0, ini));
    GetPrivateProfileStringW(L"B25", L"Log", L"", s.log, sizeof s.log / sizeof s.log[0], ini);
    GetPrivateProfileStringW(L"B25", L"Trigger", L"", s.trigger, sizeof s.trigger / sizeof s.trigger[0], ini);
}

// True once the trigger file exists, or at once without one.
bool Triggered(const StandInSettings& s)
{
    if (!s.trigger[0]) return true;
    HANDLE file = CreateFileW(s.trigger, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

// The key after the n-th start-up; never 0, so the stream always changes.
uint8_t KeyAfterStartUp(unsigned n)
{
    const uint8_t key = static_cast<uint8_t>(0x5A + 0x3B * n);
    return key ? key : 0xA5;
}

// IB25Decoder's slots. Self is the final class, which Release deletes.
template <typename Self, typename Interface>
class CStandInBase : public Interface {
public:
    explicit CStandInBase(const StandInSettings& s) : s_(s) {}
    BOOL32 StartUp(uint32_t value) override
    {
        AppendLogLine(s_.log, value == kDescramblerStartUpValue ? "startup" : "startup-bad-value");
        if (s_.startupHang) {
            AppendLogLine(s_.log, "hang");
            Sleep(INFINITE);
        }
        if (s_.startupFails) return 0;
        key_ = KeyAfterStartUp(++startUps_);
        return 1;
    }
    void Release() override
    {
        AppendLogLine(s_.log, "release");
        delete static_cast<Self*>(this);
    }
    BOOL32 Decode(const uint8_t* src, uint32_t size, uint8_t** dst, uint32_t* dstSize) override
    {
        *dst = nullptr;
        *dstSize = 0;
        if ((s_.decodeHangMs > 0 || s_.decodeFault) && !hung_ && Triggered(s_)) {
            hung_ = true;
            if (s_.decodeFault) {
                AppendLogLine(s_.log, "fault");
                RaiseSimFault(s_.decodeFault);
            }
            AppendLogLine(s_.log, "hang");
            Sleep(static_cast<DWORD>(s_.decodeHangMs));
        }
        if (s_.outputMode == 3) return 0;
        if (s_.failAfter > 0 && ++decoded_ > static_cast<unsigned>(s_.failAfter)) return 0;
        if (s_.outputMode == 1) return 1;
        const uint32_t n = s_.outputMode == 2 ? size / 2 : size;
        if (!out_.Resize(n)) return 0;
        uint8_t* out = out_.Data();
        for (uint32_t i = 0; i < n; ++i) out[i] = src[i] ^ key_;
        *dst = out;
        *dstSize = n;
        return 1;
    }

protected:
    ~CStandInBase() = default;
    StandInSettings s_;
    unsigned startUps_ = 0;
    unsigned decoded_ = 0;
    uint8_t key_ = 0;
    bool hung_ = false;
    CByteBuffer out_;
};

class CStandIn1 final : public CStandInBase<CStandIn1, IB25Decoder> {
public:
    using CStandInBase::CStandInBase;
};

class CStandIn2 final : public CStandInBase<CStandIn2, IB25Decoder2> {
public:
    using CStandInBase::CStandInBase;
    void ReservedSlot3() override {}
    void ReservedSlot4() override {}
    void ReservedSlot5() override {}
    void Configure(int32_t value) override { AppendLogLine(s_.log, value == 0 ? "configure" : "configure-bad-value"); }
};

}  // namespace

extern "C" __declspec(dllexport) IB25Decoder* __cdecl CreateB25Decoder()
{
    StandInSettings s;
    LoadSettings(s);
    AppendLogLine(s.log, "create");
    if (s.createHang) {
        AppendLogLine(s.log, "hang");
        Sleep(INFINITE);
    }
    if (s.noInterface2) return new CStandIn1(s);
    return new CStandIn2(s);
}

extern "C" BOOL WINAPI DllMain(HMODULE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
        StandInSettings s;
        LoadSettings(s);
        AppendLogLine(s.log, reason == DLL_PROCESS_ATTACH ? "load" : "unload");
        // A slow unload holds the loader's lock, and the descrambler library
        // lock of whoever unloads it, all the while.
        if (reason == DLL_PROCESS_DETACH && !reserved && s.detachMs > 0) Sleep(static_cast<DWORD>(s.detachMs));
    }
    return TRUE;
}
