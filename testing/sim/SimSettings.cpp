#include "SimSettings.h"

#include "PluginFiles.h"
#include "SimMisbehaviour.h"

namespace {

// "27:29" as two numbers; zeros for anything else.
void ReadPair(const wchar_t* text, int& a, int& b)
{
    int n[2] = {0, 0}, at = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p == L':' && at == 0) {
            at = 1;
        } else if (*p >= L'0' && *p <= L'9' && n[at] < 100000) {
            n[at] = n[at] * 10 + (*p - L'0');
        } else {
            n[0] = n[1] = at = 0;
            break;
        }
    }
    a = at == 1 ? n[0] : 0;
    b = at == 1 ? n[1] : 0;
}

}  // namespace

void LoadSimSettings(HMODULE module, SimSettings& s)
{
    wchar_t ini[kPluginPathLength];
    SettingsPathOf(module, ini);
    auto num = [&](const wchar_t* key, int def) {
        return static_cast<int>(GetPrivateProfileIntW(L"Sim", key, def, ini));
    };
    GetPrivateProfileStringW(L"Sim", L"Spaces", L"T", s.spaces, sizeof s.spaces / sizeof s.spaces[0], ini);
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
    s.rateKBps = num(L"RateKBps", -1);
    s.fetchHangMs = num(L"FetchHangMs", 0);
    s.fetchHangAfterMs = num(L"FetchHangAfterMs", 0);
    s.openHangMs = num(L"OpenHangMs", 0);
    s.closeHangMs = num(L"CloseHangMs", 0);
    s.hangHoldsLock = num(L"HangHoldsLock", 0);
    s.openFault = num(L"OpenFault", 0);
    s.tuneFault = num(L"TuneFault", 0);
    s.fetchFault = num(L"FetchFault", 0);
    s.fetchFaultAfterMs = num(L"FetchFaultAfterMs", 0);
    s.namesFreed = num(L"NamesFreed", 0);
    s.waitingLies = num(L"WaitingLies", 0);
    s.readerThread = num(L"ReaderThread", 0);
    s.stamp = num(L"Stamp", 0);
    s.layout = num(L"Layout", 0);
    wchar_t name[64] = {};
    GetPrivateProfileStringW(L"Sim", L"Misbehave", L"", name, sizeof name / sizeof name[0], ini);
    s.misbehave = MisbehaviourNamed(name);
    GetPrivateProfileStringW(L"Sim", L"MisbehaveIn", L"Open", name, sizeof name / sizeof name[0], ini);
    s.misbehaveIn = MisbehaviourCallNamed(name);
    s.misbehaveAfterMs = num(L"MisbehaveAfterMs", 0);
    s.probeHandle = num(L"ProbeHandle", 0);
    GetPrivateProfileStringW(L"Sim", L"Trigger", L"", s.trigger, sizeof s.trigger / sizeof s.trigger[0], ini);
    s.dllMainHang = num(L"DllMainHang", 0);
    s.dllMainSlowMs = num(L"DllMainSlowMs", 0);
    s.dllMainFault = num(L"DllMainFault", 0);
    wchar_t relay[32];
    GetPrivateProfileStringW(L"Sim", L"Relay", L"", relay, sizeof relay / sizeof relay[0], ini);
    ReadPair(relay, s.relayFrom, s.relayTo);
    s.tuneFailsOn = num(L"TuneFailsOn", 0);
    s.scrambled = num(L"Scrambled", 0);
    wchar_t drops[32];
    GetPrivateProfileStringW(L"Sim", L"Drops", L"", drops, sizeof drops / sizeof drops[0], ini);
    ReadPair(drops, s.lossyService, s.lossEvery);
    s.guideBlockSeconds = num(L"GuideBlockSeconds", 0);
    s.guideBlockStart = num(L"GuideBlockStart", 0);
    wchar_t late[32];
    GetPrivateProfileStringW(L"Sim", L"GuideLate", L"", late, sizeof late / sizeof late[0], ini);
    ReadPair(late, s.guideLateService, s.guideLateSeconds);
    GetPrivateProfileStringW(L"Sim", L"Log", L"", s.log, sizeof s.log / sizeof s.log[0], ini);
    GetPrivateProfileStringW(L"Sim", L"SourceFile", L"", s.sourceFile, sizeof s.sourceFile / sizeof s.sourceFile[0], ini);
}
