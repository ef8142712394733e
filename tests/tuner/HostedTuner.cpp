#include "tuner/HostedTuner.h"

#include "relay/CStreamRelay.h"

std::unique_ptr<CTunerContext> HostSimulatedTuner(const CTempDir& dir, const std::string& simSettings,
                                                  bool terrestrial)
{
    const std::wstring dll = dir.File(L"BonDriver_Hosted.dll");
    if (GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CopyFromBin(L"BonDriver_Sim.dll", dir, L"BonDriver_Hosted.dll"))
        return nullptr;
    if (!WriteTextFile(dir.File(L"BonDriver_Hosted.ini"),
                       std::string("[Sim]\r\nSpaces=") + (terrestrial ? "T" : "S") + "\r\n" + simSettings))
        return nullptr;
    CDriverInfo info;
    info.fileName = dll;
    std::unique_ptr<CTunerContext> tuner =
        CTunerContext::Create(info, terrestrial ? 1 : 0, StoredPipeNamePair(terrestrial));
    if (!tuner || !tuner->relay || !tuner->relay->PipeServer()) return nullptr;
    return tuner;
}
