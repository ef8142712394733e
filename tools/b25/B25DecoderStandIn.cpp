// b25decoder.dll: a stand-in descrambler for tests and demos. It "descrambles"
// by XOR-ing every byte with a key that changes at each start-up, so a
// receiver can undo it and check the stream. Settings come from b25decoder.ini
// beside the DLL, section [B25]:
//   StartupFails=1   start-up returns 0
//   NoInterface2=1   the instance offers IB25Decoder only
//   OutputMode=0     0: XOR; 1: succeed with no output; 2: only the first half
//                    of each block; 3: decoding fails
//   FailAfter=N      from the N+1st block on, decoding fails (mid-stream)
//   Log=path         one line per event: load, create, startup, configure,
//                    release, unload
#include "tuner/IB25Decoder.h"
#include "../dllsupport/ReleaseStaticRuntime.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

HMODULE g_module = nullptr;

struct StandInSettings {
    int startupFails = 0, noInterface2 = 0, outputMode = 0, failAfter = 0;
    std::wstring log;
};

StandInSettings LoadSettings()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(g_module, path, ARRAYSIZE(path));
    std::wstring ini(path);
    const size_t dot = ini.rfind(L'.');
    if (dot != std::wstring::npos) ini.resize(dot);
    ini += L".ini";
    StandInSettings s;
    s.startupFails = static_cast<int>(GetPrivateProfileIntW(L"B25", L"StartupFails", 0, ini.c_str()));
    s.noInterface2 = static_cast<int>(GetPrivateProfileIntW(L"B25", L"NoInterface2", 0, ini.c_str()));
    s.outputMode = static_cast<int>(GetPrivateProfileIntW(L"B25", L"OutputMode", 0, ini.c_str()));
    s.failAfter = static_cast<int>(GetPrivateProfileIntW(L"B25", L"FailAfter", 0, ini.c_str()));
    wchar_t log[1024] = {};
    GetPrivateProfileStringW(L"B25", L"Log", L"", log, ARRAYSIZE(log), ini.c_str());
    s.log = log;
    return s;
}

void Log(const std::wstring& logPath, const char* line)
{
    if (logPath.empty()) return;
    HANDLE f = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    const std::string text = std::string(line) + "\n";
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

// The key after the n-th start-up; never 0, so the stream always changes.
uint8_t KeyAfterStartUp(unsigned n)
{
    const uint8_t key = static_cast<uint8_t>(0x5A + 0x3B * n);
    return key ? key : 0xA5;
}

template <typename Interface>
class CStandInBase : public Interface {
public:
    explicit CStandInBase(const StandInSettings& s) : s_(s) {}
    BOOL32 StartUp(uint32_t value) override
    {
        Log(s_.log, value == kDescramblerStartUpValue ? "startup" : "startup-bad-value");
        if (s_.startupFails) return 0;
        key_ = KeyAfterStartUp(++startUps_);
        return 1;
    }
    void Release() override
    {
        Log(s_.log, "release");
        delete this;
    }
    BOOL32 Decode(const uint8_t* src, uint32_t size, uint8_t** dst, uint32_t* dstSize) override
    {
        *dst = nullptr;
        *dstSize = 0;
        if (s_.outputMode == 3) return 0;
        if (s_.failAfter > 0 && ++decoded_ > static_cast<unsigned>(s_.failAfter)) return 0;
        if (s_.outputMode == 1) return 1;
        const uint32_t n = s_.outputMode == 2 ? size / 2 : size;
        out_.resize(n);
        for (uint32_t i = 0; i < n; ++i) out_[i] = src[i] ^ key_;
        *dst = out_.data();
        *dstSize = n;
        return 1;
    }

protected:
    virtual ~CStandInBase() = default;
    StandInSettings s_;
    unsigned startUps_ = 0;
    unsigned decoded_ = 0;
    uint8_t key_ = 0;
    std::vector<uint8_t> out_;
};

using CStandIn1 = CStandInBase<IB25Decoder>;

class CStandIn2 final : public CStandInBase<IB25Decoder2> {
public:
    using CStandInBase::CStandInBase;
    void ReservedSlot3() override {}
    void ReservedSlot4() override {}
    void ReservedSlot5() override {}
    void Configure(int32_t value) override { Log(s_.log, value == 0 ? "configure" : "configure-bad-value"); }
};

}  // namespace

extern "C" __declspec(dllexport) IB25Decoder* __cdecl CreateB25Decoder()
{
    const StandInSettings s = LoadSettings();
    Log(s.log, "create");
    if (s.noInterface2) return new CStandIn1(s);
    return new CStandIn2(s);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
        Log(LoadSettings().log, "load");
    } else if (reason == DLL_PROCESS_DETACH) {
        Log(LoadSettings().log, "unload");
        ReleaseStaticRuntime(reserved);
    }
    return TRUE;
}
