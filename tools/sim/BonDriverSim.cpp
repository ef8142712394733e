// BonDriver_Sim.dll: a simulated tuner plug-in. Its behaviour, faults
// included, is read from an INI file named like the DLL (BonDriver_Sim.ini
// beside BonDriver_Sim.dll), section [Sim]:
//   Spaces=T            T: UHF, CATV, VHF; S: BS, CS110; TS: all five
//   EmptyFirstSpace=1   a leading space without channels
//   NoSpaces=1          lists no space at all
//   EndlessSpaces=1 / EndlessChannels=1   lists that never end
//   OpenFails=1, TuneFails=1, FactoryNull=1, NoInterface2=1
//   FetchMode=0         0: whole packets; 1: odd sizes; 2: never any data
//   SlowMs=0            delay added to Open, Tune and FetchBlock
//   FetchHangMs=0       the first FetchBlock after Open sleeps this long, then
//                       hands out one block made before it slept
//   RateKBps=2000       stream rate
//   Log=path            appends one line per event (load, create, open, ...)
#include "SimStream.h"
#include "tuner/IBonDriver.h"
#include "../dllsupport/ReleaseStaticRuntime.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

HMODULE g_module = nullptr;

struct SimSettings {
    std::wstring spaces = L"T";
    int emptyFirstSpace = 0, noSpaces = 0, endlessSpaces = 0, endlessChannels = 0;
    int openFails = 0, tuneFails = 0, factoryNull = 0, noInterface2 = 0;
    int fetchMode = 0, slowMs = 0, rateKBps = 2000, fetchHangMs = 0, stamp = 0;
    std::wstring log;
};

std::wstring IniPath()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(g_module, path, ARRAYSIZE(path));
    std::wstring p(path);
    const size_t dot = p.rfind(L'.');
    if (dot != std::wstring::npos) p.resize(dot);
    return p + L".ini";
}

SimSettings LoadSettings()
{
    SimSettings s;
    const std::wstring ini = IniPath();
    auto num = [&](const wchar_t* key, int def) {
        return static_cast<int>(GetPrivateProfileIntW(L"Sim", key, def, ini.c_str()));
    };
    auto str = [&](const wchar_t* key, const wchar_t* def) {
        wchar_t buf[1024] = {};
        GetPrivateProfileStringW(L"Sim", key, def, buf, ARRAYSIZE(buf), ini.c_str());
        return std::wstring(buf);
    };
    s.spaces = str(L"Spaces", L"T");
    s.emptyFirstSpace = num(L"EmptyFirstSpace", 0);
    s.noSpaces = num(L"NoSpaces", 0);
    s.endlessSpaces = num(L"EndlessSpaces", 0);
    s.endlessChannels = num(L"EndlessChannels", 0);
    s.openFails = num(L"OpenFails", 0);
    s.tuneFails = num(L"TuneFails", 0);
    s.factoryNull = num(L"FactoryNull", 0);
    s.noInterface2 = num(L"NoInterface2", 0);
    s.fetchMode = num(L"FetchMode", 0);
    s.slowMs = num(L"SlowMs", 0);
    s.rateKBps = num(L"RateKBps", 2000);
    s.fetchHangMs = num(L"FetchHangMs", 0);
    s.stamp = num(L"Stamp", 0);
    s.log = str(L"Log", L"");
    return s;
}

void Log(const std::wstring& logPath, const char* line)
{
    if (logPath.empty()) return;
    HANDLE f = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    std::string text = std::string(line) + "\n";
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

struct SimSpace {
    std::wstring name;
    std::vector<std::wstring> channels;
};

std::vector<SimSpace> BuildSpaces(const SimSettings& s)
{
    std::vector<SimSpace> spaces;
    if (s.noSpaces) return spaces;
    if (s.emptyFirstSpace) spaces.push_back({L"Empty", {}});
    auto range = [](const wchar_t* format, int from, int to) {
        std::vector<std::wstring> names;
        for (int i = from; i <= to; ++i) {
            wchar_t buf[32];
            swprintf(buf, 32, format, i);
            names.push_back(buf);
        }
        return names;
    };
    const bool t = s.spaces.find(L'T') != std::wstring::npos;
    const bool sat = s.spaces.find(L'S') != std::wstring::npos;
    if (t) {
        spaces.push_back({L"UHF", range(L"%dch", 13, 62)});
        spaces.push_back({L"CATV", range(L"C%dch", 13, 63)});
        spaces.push_back({L"VHF", range(L"%dch", 1, 12)});
    }
    if (sat) {
        spaces.push_back({L"BS", range(L"BS%02d", 1, 23)});
        spaces.push_back({L"CS110", range(L"ND%02d", 2, 24)});
    }
    return spaces;
}

class CSimTuner {
public:
    explicit CSimTuner(const SimSettings& s) : settings_(s), spaces_(BuildSpaces(s)) {}

    BOOL32 DoOpen()
    {
        Slow();
        Log(settings_.log, "open");
        if (settings_.openFails) return 0;
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
        return 1;
    }
    void DoClose() { Log(settings_.log, "close"); }
    float DoReadLevel() { return 20.0f + static_cast<float>(stream_.Channel()) * 0.1f; }

    BOOL32 DoFetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting)
    {
        Slow();
        if (settings_.fetchHangMs > 0 && !hung_) {
            hung_ = true;
            // The block is made before the stall and handed out right after
            // it: coming back, the plug-in touches no heap, so whatever happens
            // to the thread then happens in TunerHost's code.
            block_.resize(kBlockBytes);
            for (size_t at = 0; at < kBlockBytes; at += kTsPacketSize) stream_.NextPacket(block_.data() + at);
            Log(settings_.log, "hang");
            Sleep(static_cast<DWORD>(settings_.fetchHangMs));
            *data = block_.data();
            *size = static_cast<uint32_t>(block_.size());
            *waiting = 0;
            return 1;
        }
        *data = nullptr;
        *size = 0;
        *waiting = 0;
        if (settings_.fetchMode == 2) return 0;
        if (settings_.rateKBps <= 0) return FetchUnpaced(data, size, waiting);
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const double seconds = double(now.QuadPart - start_.QuadPart) / double(frequency_.QuadPart);
        const uint64_t dueBytes = static_cast<uint64_t>(seconds * settings_.rateKBps * 1000.0);
        if (dueBytes > delivered_ + pending_.size()) {
            uint64_t packets = (dueBytes - delivered_ - pending_.size()) / kTsPacketSize;
            if (packets > kMaxPacketsAhead) packets = kMaxPacketsAhead;
            for (uint64_t i = 0; i < packets; ++i) {
                const size_t at = pending_.size();
                pending_.resize(at + kTsPacketSize);
                stream_.NextPacket(pending_.data() + at);
            }
        }
        // A tuner's device hands over whole transfers: nothing until a block is due.
        if (pending_.empty() || (settings_.fetchMode == 0 && pending_.size() < kBlockBytes)) return 0;
        size_t take = pending_.size() < kBlockBytes ? pending_.size() : kBlockBytes;
        if (settings_.fetchMode == 1) take = std::min(take, kOddSizes[oddIndex_++ % std::size(kOddSizes)]);
        block_.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
        delivered_ += take;
        if (settings_.stamp) Stamp(block_.data(), block_.size());
        *data = block_.data();
        *size = static_cast<uint32_t>(block_.size());
        *waiting = static_cast<uint32_t>(pending_.size());
        return 1;
    }
    void DoDiscard() { pending_.clear(); }

    const wchar_t* DoSpaceName(uint32_t space)
    {
        if (settings_.endlessSpaces) return Endless(L"Space", space);
        return space < spaces_.size() ? spaces_[space].name.c_str() : nullptr;
    }
    const wchar_t* DoChannelName(uint32_t space, uint32_t channel)
    {
        if (settings_.endlessChannels || (settings_.endlessSpaces && space >= spaces_.size()))
            return Endless(L"Ch", channel);
        if (space >= spaces_.size() || channel >= spaces_[space].channels.size()) return nullptr;
        return spaces_[space].channels[channel].c_str();
    }
    BOOL32 DoTune(uint32_t space, uint32_t channel)
    {
        Slow();
        char line[64];
        snprintf(line, sizeof line, "tune %u %u", space, channel);
        Log(settings_.log, line);
        if (settings_.tuneFails) return 0;
        if (space >= spaces_.size() || channel >= spaces_[space].channels.size()) return 0;
        stream_.SetChannel(space, channel);
        pending_.clear();
        return 1;
    }
    const SimSettings& Settings() const { return settings_; }

private:
    static constexpr size_t kBlockBytes = 256 * kTsPacketSize;
    static constexpr uint64_t kMaxPacketsAhead = 4096;
    static constexpr size_t kOddSizes[] = {1, 187, 1000, 7, 48129, 189, 4093, 376};

    // As fast as the host takes it: one block made once, handed out again and
    // again, with more always waiting.
    BOOL32 FetchUnpaced(uint8_t** data, uint32_t* size, uint32_t* waiting)
    {
        if (block_.size() != kBlockBytes) {
            block_.resize(kBlockBytes);
            for (size_t at = 0; at < kBlockBytes; at += kTsPacketSize) stream_.NextPacket(block_.data() + at);
        }
        if (settings_.stamp) Stamp(block_.data(), block_.size());
        delivered_ += block_.size();
        *data = block_.data();
        *size = static_cast<uint32_t>(block_.size());
        *waiting = static_cast<uint32_t>(block_.size());
        return 1;
    }
    // The moment of handing out, in performance-counter ticks, over the filler
    // of every payload packet: a client can measure how long a packet took.
    static void Stamp(uint8_t* block, size_t size)
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        for (size_t at = 0; at + kTsPacketSize <= size; at += kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(block + at, p, true)) std::memcpy(block + at + kSimStampOffset, &now.QuadPart, 8);
        }
    }
    void Slow() const
    {
        if (settings_.slowMs > 0) Sleep(static_cast<DWORD>(settings_.slowMs));
    }
    const wchar_t* Endless(const wchar_t* prefix, uint32_t n)
    {
        endlessName_ = prefix + std::to_wstring(n);
        return endlessName_.c_str();
    }

    SimSettings settings_;
    std::vector<SimSpace> spaces_;
    CSimStream stream_;
    LARGE_INTEGER frequency_{}, start_{};
    uint64_t delivered_ = 0;
    std::vector<uint8_t> pending_, block_;
    size_t oddIndex_ = 0;
    bool hung_ = false;
    std::wstring endlessName_;
};

// The IBonDriver slots, shared by both kinds of plug-in object below.
template <typename Interface>
class CSimDriverBase : public Interface {
public:
    explicit CSimDriverBase(const SimSettings& s) : tuner_(s) {}
    BOOL32 Open() override { return tuner_.DoOpen(); }
    void Close() override { tuner_.DoClose(); }
    void ReservedSlot2() override {}
    float ReadLevel() override { return tuner_.DoReadLevel(); }
    void ReservedSlot4() override {}
    void ReservedSlot5() override {}
    BOOL32 FetchBlock(uint8_t** d, uint32_t* s, uint32_t* w) override { return tuner_.DoFetchBlock(d, s, w); }
    void ReservedSlot7() override {}
    void Discard() override { tuner_.DoDiscard(); }
    void Destroy() override
    {
        Log(tuner_.Settings().log, "destroy");
        delete this;
    }

protected:
    virtual ~CSimDriverBase() = default;
    CSimTuner tuner_;
};

// A plug-in of the older kind, without IBonDriver2.
using CSimBonDriver1 = CSimDriverBase<IBonDriver>;

// The full plug-in: both interfaces.
class CSimBonDriver2 final : public CSimDriverBase<IBonDriver2> {
public:
    using CSimDriverBase::CSimDriverBase;
    void ReservedSlot10() override {}
    void ReservedSlot11() override {}
    const wchar_t* SpaceName(uint32_t s) override { return tuner_.DoSpaceName(s); }
    const wchar_t* ChannelName(uint32_t s, uint32_t c) override { return tuner_.DoChannelName(s, c); }
    BOOL32 Tune(uint32_t s, uint32_t c) override { return tuner_.DoTune(s, c); }
};

}  // namespace

extern "C" __declspec(dllexport) IBonDriver* __cdecl CreateBonDriver()
{
    const SimSettings s = LoadSettings();
    Log(s.log, "create");
    if (s.factoryNull) return nullptr;
    if (s.noInterface2) return new CSimBonDriver1(s);
    return new CSimBonDriver2(s);
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
