// appdouble.exe: an app as the ones users watch and record with, built as
// they are (Microsoft's C++ ABI, its runtime's downcast), that loads a tuner
// plug-in by name and uses it through every slot of its interface. The tests
// run it against TunerHost's client plug-in:
//   appdouble watch PLUGIN...     each plug-in watched on threads of its own
//                                 while channels change; the stream checked
//   appdouble survive PLUGIN DIR N   streams, and after each of N losses of
//                                 the connection (TunerHost's plug-in faults,
//                                 TunerHost ends) checks that every call is
//                                 bounded, waits for DIR\goK, opens again
//   appdouble refused PLUGIN      Open must fail (another app holds the kind,
//                                 or the pipes are not TunerHost's)
//   appdouble level PLUGIN        opens and prints the level it reads, twice
// Prints what it does; exit code 0 when every check held, 1 when one did not,
// 2 for bad arguments.
#include "CViewer.h"
#include "Console.h"
#include "Text.h"

namespace {

// Enough of a channel to know it streams: a few messages' worth.
constexpr uint32_t kPacketsPerTune = 8000;
constexpr uint32_t kTuneWatchMs = 15000;
// A call on a tuner whose connection is over answers within this.
constexpr uint32_t kBoundedMs = 1500;

// What TunerHost's simulated plug-in carries for each of the client
// plug-in's channels: UHF and CATV indexes as they are; VHF 6 is TunerHost's
// index 6 (VHF 4-12 are 4-12); BS and CS in TunerHost's table order.
constexpr CTuneStep kTerrestrialSteps[] = {
    {0, 14, false, 0, 14},  // UHF 27
    {1, 9, false, 1, 9},    // C22
    {2, 5, false, 2, 6},    // VHF 6
    {2, 0, true, 2, 0},     // VHF 1, by slot 2
    {0, 0, false, 0, 0},    // UHF 13
};
constexpr CTuneStep kSatelliteSteps[] = {
    {0, 1, false, 0, 1},    // BS01/TS1
    {1, 2, false, 1, 2},    // ND06
    {1, 11, true, 1, 11},   // ND24, by slot 2
    {0, 10, false, 0, 10},  // BS15/TS2
};

// Before which tunes the reader lags, and how long: long enough once that
// the plug-in's ring is full and the pipe backs up too.
constexpr uint32_t kLagMs[] = {0, 2500, 0, 300, 0};

struct CPlugin {
    HMODULE module = nullptr;
    IBonDriver* driver = nullptr;
    IBonDriver2* driver2 = nullptr;
};

bool Fail(const char* what)
{
    CLine() << what;
    return false;
}

// Loads it by name, creates the object and downcasts it as the apps do,
// with the runtime's dynamic_cast.
bool Load(const wchar_t* name, CPlugin& out)
{
    out.module = LoadLibraryW(name);
    if (!out.module) return Fail("the plug-in does not load");
    auto create = reinterpret_cast<CreateBonDriverFn>(GetProcAddress(out.module, kCreateBonDriverExport));
    if (!create) return Fail("the plug-in has no CreateBonDriver");
    out.driver = create();
    if (!out.driver) return Fail("CreateBonDriver returned null");
    out.driver2 = dynamic_cast<IBonDriver2*>(out.driver);
    if (!out.driver2) return Fail("the object is no IBonDriver2 to the runtime's dynamic_cast");
    return true;
}

void Unload(CPlugin& p)
{
    if (p.driver) p.driver->Destroy();
    if (p.module) FreeLibrary(p.module);
    p = {};
}

bool IsTerrestrial(IBonDriver2* d)
{
    const wchar_t* first = d->SpaceName(0);
    return first && SameText(first, L"UHF");
}

// The spaces and channels, as a viewer lists them before it opens the tuner.
bool ListChannels(IBonDriver2* d, const char* name)
{
    const bool terrestrial = IsTerrestrial(d);
    static const wchar_t* const kSpacesT[] = {L"UHF", L"CATV", L"VHF"};
    static const wchar_t* const kSpacesS[] = {L"BS", L"CS110"};
    const uint32_t countsT[] = {50, 51, 12}, countsS[] = {11, 12};
    const uint32_t spaces = terrestrial ? 3 : 2;
    bool ok = d->SpaceName(spaces) == nullptr && !d->IsOpen() && d->CurrentSpace() == kNotTuned &&
              d->CurrentChannel() == kNotTuned && d->TunerName() && d->TunerName()[0];
    for (uint32_t s = 0; s < spaces; ++s) {
        const wchar_t* spaceName = d->SpaceName(s);
        const uint32_t expected = terrestrial ? countsT[s] : countsS[s];
        uint32_t n = 0;
        while (d->ChannelName(s, n)) ++n;
        ok = ok && spaceName && SameText(spaceName, terrestrial ? kSpacesT[s] : kSpacesS[s]) && n == expected;
        CLine() << name << ": space " << (spaceName ? spaceName : L"(none)") << ", channels " << n << ": "
                << (n ? d->ChannelName(s, 0) : L"-") << " .. " << (n ? d->ChannelName(s, n - 1) : L"-");
    }
    if (terrestrial) {
        ok = ok && SameText(d->ChannelName(0, 14), L"27ch") && SameText(d->ChannelName(1, 9), L"C22ch") &&
             SameText(d->ChannelName(2, 0), L"1ch");
    } else {
        ok = ok && SameText(d->ChannelName(0, 0), L"BS01/TS0") && SameText(d->ChannelName(0, 10), L"BS15/TS2") &&
             SameText(d->ChannelName(1, 0), L"ND02") && SameText(d->ChannelName(1, 11), L"ND24");
    }
    return ok || Fail("the spaces or channels are not as users know them");
}

// The level TunerHost's plug-in gives, read once a second by its host:
// the simulated plug-in's is 20 + its channel / 10.
bool LevelComes(IBonDriver2* d, const CTuneStep& step, const char* name)
{
    const float expected = 20.0f + static_cast<float>(step.simChannel) * 0.1f;
    const uint64_t start = GetTickCount64();
    float level = 0;
    bool right = false;
    while (!right && MsSince(start) < 4000) {
        level = d->ReadLevel();
        right = level > expected - 0.01f && level < expected + 0.01f;
        if (!right) Sleep(100);
    }
    CLine() << name << ": signal level x10 " << static_cast<uint32_t>(static_cast<int>(level * 10 + 0.5f))
            << (right ? "" : ", not the plug-in's");
    return right;
}

struct CWatch {
    const wchar_t* plugin;
    char name[16];
    bool ok;
};

DWORD WINAPI WatchMain(void* param)
{
    CWatch& w = *static_cast<CWatch*>(param);
    w.ok = false;
    CPlugin p;
    if (!Load(w.plugin, p)) return 0;
    const bool terrestrial = IsTerrestrial(p.driver2);
    w.name[0] = terrestrial ? 'T' : 'S';
    bool ok = ListChannels(p.driver2, w.name);
    if (ok && !p.driver->Open()) ok = Fail("Open failed");
    ok = ok && p.driver2->IsOpen() && p.driver2->CurrentSpace() == kNotTuned;
    if (ok) {
        auto* viewer = new CViewer(p.driver2, w.name);
        ok = viewer->StartReading();
        const CTuneStep* steps = terrestrial ? kTerrestrialSteps : kSatelliteSteps;
        const uint32_t count = terrestrial ? 5 : 4;
        for (uint32_t i = 0; ok && i < count; ++i) {
            uint32_t firstMs = 0;
            ok = viewer->TuneAndWatch(steps[i], kPacketsPerTune, kTuneWatchMs, firstMs, kLagMs[i]);
            if (ok && i == 0) ok = LevelComes(p.driver2, steps[i], w.name);
        }
        viewer->StopReading();
        ok = viewer->Report() && ok;
        delete viewer;
    }
    p.driver->Close();
    ok = ok && !p.driver2->IsOpen();
    Unload(p);
    w.ok = ok;
    return 0;
}

int Watch(const CArguments& args)
{
    const uint32_t n = args.count - 1;
    static CWatch watches[kMaxArguments];
    HANDLE threads[kMaxArguments] = {};
    for (uint32_t i = 0; i < n; ++i) {
        watches[i] = {args.text[i + 1], {'?', 0}, false};
        threads[i] = CreateThread(nullptr, 0, WatchMain, &watches[i], 0, nullptr);
        if (!threads[i]) return 1;
    }
    bool ok = true;
    for (uint32_t i = 0; i < n; ++i) {
        WaitForSingleObject(threads[i], INFINITE);
        CloseHandle(threads[i]);
        ok = ok && watches[i].ok;
    }
    CLine() << (ok ? "watch: ok" : "watch: FAILED");
    return ok ? 0 : 1;
}

// After the connection is over: every call answers at once or within what it
// was given, and says there is nothing.
bool CallsBounded(IBonDriver2* d)
{
    bool ok = true;
    uint64_t start = GetTickCount64();
    ok = d->WaitForStream(300) == kStreamTimedOut && ok;
    const uint32_t waited = MsSince(start);
    ok = waited <= 300 + kBoundedMs && ok;
    uint8_t* data = reinterpret_cast<uint8_t*>(1);
    uint32_t size = 1, waiting = 1;
    ok = !d->FetchBlock(&data, &size, &waiting) && size == 0 && ok;
    static uint8_t copy[4096];
    size = sizeof copy;
    ok = !d->CopyStream(copy, &size, &waiting) && size == 0 && d->ReadyBlocks() == 0 && ok;
    start = GetTickCount64();
    ok = !d->Tune(0, 14) && !d->IsOpen() && ok;
    ok = d->ReadLevel() == 0.0f && ok;
    const uint32_t callsMs = MsSince(start);
    ok = callsMs <= kBoundedMs && ok;
    start = GetTickCount64();
    d->Close();
    const uint32_t closeMs = MsSince(start);
    ok = closeMs <= kBoundedMs && ok;
    CLine() << "calls after the loss: slot 4 waited " << waited << " ms, Tune and ReadLevel took " << callsMs
            << " ms, Close " << closeMs << (ok ? " ms: bounded" : " ms: NOT as they should");
    return ok;
}

bool WaitForFile(const wchar_t* path, uint32_t ms)
{
    const uint64_t start = GetTickCount64();
    while (GetFileAttributesW(path) == 0xFFFFFFFF)
        if (MsSince(start) > ms) return false;
        else Sleep(50);
    return true;
}

int Survive(const CArguments& args)
{
    if (args.count != 4) return 2;
    const uint32_t losses = ParseNumber(args.text[3]);
    CPlugin p;
    if (!Load(args.text[1], p)) return 1;
    bool ok = true;
    for (uint32_t round = 0; ok; ++round) {
        if (round > 0) {
            static wchar_t go[kArgumentLength + 8];
            go[0] = 0;
            AppendText(go, kArgumentLength + 8, args.text[2]);
            AppendText(go, kArgumentLength + 8, L"\\go");
            AppendDecimal(go, kArgumentLength + 8, round);
            if (!WaitForFile(go, 60000)) {
                ok = Fail("the go file never came");
                break;
            }
        }
        // TunerHost may be on its way back: a viewer tries again.
        const uint64_t start = GetTickCount64();
        while (ok && !p.driver->Open()) {
            ok = MsSince(start) < 60000 || Fail("Open never succeeded");
            Sleep(250);
        }
        if (!ok) break;
        auto* viewer = new CViewer(p.driver2, "T");
        uint32_t firstMs = 0;
        ok = viewer->StartReading() && viewer->TuneAndWatch(kTerrestrialSteps[0], kPacketsPerTune, kTuneWatchMs, firstMs);
        if (ok) CLine() << "streaming " << round;
        if (ok && round < losses) {
            ok = viewer->WaitUntilLost(60000) || Fail("the loss was never noticed");
            CLine() << "lost " << round;
        }
        viewer->StopReading();
        ok = viewer->Report() && ok;
        delete viewer;
        if (round == losses) break;
        ok = ok && CallsBounded(p.driver2);
    }
    p.driver->Close();
    Unload(p);
    CLine() << (ok ? "survive: ok" : "survive: FAILED");
    return ok ? 0 : 1;
}

int Refused(const CArguments& args)
{
    if (args.count != 2) return 2;
    CPlugin p;
    if (!Load(args.text[1], p)) return 1;
    const uint64_t start = GetTickCount64();
    const BOOL32 opened = p.driver->Open();
    const uint32_t ms = MsSince(start);
    CLine() << (opened ? "refused: opened after " : "refused: refused after ") << ms << " ms";
    Unload(p);
    return opened ? 1 : 0;
}

// Opens, reads the level twice, and says what it got, bit for bit.
int Level(const CArguments& args)
{
    if (args.count != 2) return 2;
    CPlugin p;
    if (!Load(args.text[1], p)) return 1;
    if (!p.driver->Open()) {
        Fail("Open failed");
        Unload(p);
        return 1;
    }
    const float first = p.driver->ReadLevel(), second = p.driver->ReadLevel();
    CLine() << "level bits " << __builtin_bit_cast(uint32_t, first) << ", " << __builtin_bit_cast(uint32_t, second)
            << ", open " << static_cast<uint32_t>(p.driver2->IsOpen() ? 1 : 0);
    p.driver->Close();
    Unload(p);
    return 0;
}

}  // namespace

extern "C" [[noreturn]] void __cdecl AppMain()
{
    static CArguments args;
    ReadArguments(args);
    int code = 2;
    if (args.count >= 2 && SameText(args.text[0], L"watch")) code = Watch(args);
    else if (args.count >= 1 && SameText(args.text[0], L"survive")) code = Survive(args);
    else if (args.count >= 1 && SameText(args.text[0], L"refused")) code = Refused(args);
    else if (args.count >= 1 && SameText(args.text[0], L"level")) code = Level(args);
    else CLine() << "usage: appdouble watch PLUGIN... | survive PLUGIN DIR N | refused PLUGIN | level PLUGIN";
    ExitProcess(static_cast<unsigned>(code));
}
