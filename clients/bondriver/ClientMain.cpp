// BonDriver_TunerHost_T.dll and BonDriver_TunerHost_S.dll: TunerHost's client
// plug-in, one file per tuner kind (the build says which: CLIENT_TERRESTRIAL),
// which the apps that load tuner plug-ins load like any. It relays to
// TunerHost's pipes of its kind (docs/protocol.md) and shows nothing.
#include "CClientDriver.h"
#include "Kernel32.h"
#include "config/ClientPluginMark.h"

// What TunerHost's catalogue reads to leave this plug-in out.
extern "C" __attribute__((section(TUNERHOST_CLIENT_PLUGIN_SECTION), used)) const char kClientPluginMark[] =
    "TunerHost client plug-in";

extern "C" __declspec(dllexport) IBonDriver* __cdecl CreateBonDriver()
{
    auto* driver = new CClientDriver(CLIENT_TERRESTRIAL != 0);
    if (driver->Ready()) return driver;
    driver->Destroy();
    return nullptr;
}

extern "C" BOOL WINAPI DllMain(HMODULE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
