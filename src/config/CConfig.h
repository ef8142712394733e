// The settings: which plug-in serves each tuner kind, and per plug-in which of
// its tuning spaces carry each band and whether it is pinned to one channel.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct CSpaceInfo {
    std::wstring name;
    std::vector<std::wstring> channels;
};

struct CDriverInfo {
    std::wstring fileName;
    std::vector<CSpaceInfo> spaces;
    // The eight settings, named like their INI keys; always copied together.
    int32_t TuningSpaceUHF = 0;
    int32_t TuningSpaceCATV = 1;
    int32_t TuningSpaceVHF = 2;
    int32_t TuningSpaceBS = 0;
    int32_t TuningSpaceCS = 1;
    int32_t FixChannel = 0;
    int32_t FixedTuningSpace = 0;
    int32_t FixedChannel = 0;

    void CopySettingsFrom(const CDriverInfo& other);
    // Brings the settings within what the plug-in's spaces allow.
    void ClampSettings();
};

class CConfig {
public:
    std::wstring exeDirectory;
    std::wstring exeBaseName;
    std::wstring iniPath;
    // The configured plug-in of each kind: read at start-up, and changed only
    // by the user's choice on the settings sheet. A name that matches no
    // catalogue entry (its plug-in could not be opened) is saved as it is.
    std::wstring DriverNameT;
    int32_t DriverIndexT = -1;
    std::wstring DriverNameS;
    int32_t DriverIndexS = -1;
    std::vector<CDriverInfo> drivers;         // the plug-in catalogue, settings applied
    std::vector<CDriverInfo> driverSettings;  // per-plug-in sections read from the file

    // Uses the executable's own path.
    bool LoadConfig();
    // The same from a given executable path; false when it has no directory
    // part or its file name no extension.
    bool LoadConfigForPath(const std::wstring& exePath);
    void ReadConfig();
    // When the section-name list did not fit: the sections of the catalogue's
    // plug-ins, read by name into driverSettings.
    void ReadCatalogueSections();
    bool sectionListCut = false;
    CDriverInfo ReadDriverSection(const std::wstring& section) const;
    // Writes [Config] (the names of the chosen entries, or the stored names of
    // kinds without one) and one section per catalogue entry. True when every
    // write went through.
    // The file is replaced only when the whole record was written.
    bool SaveConfig() const;
    bool SaveConfigTo(const std::wstring& path) const;
    bool WriteDriverSection(const CDriverInfo& entry) const;
    bool WriteDriverSection(const CDriverInfo& entry, const std::wstring& path) const;

    // The plug-in catalogue (DriverCatalogue.cpp).
    void ScanDrivers();
    // An entry whose probe came back after start-up (see TakeLateProbes):
    // its stored settings applied, appended to the catalogue, and made the
    // kind's chosen entry where it is the configured plug-in still missing.
    // Its position.
    size_t AdoptLateDriver(CDriverInfo entry);

private:
    void ApplyStoredSettings(CDriverInfo& entry) const;
};

// True when a section name has the shape "BonDriver_<x>.dll_Config" (letter
// case ignored); `driverName` then gets the plug-in part as written.
bool ParseDriverSectionName(const std::wstring& section, std::wstring& driverName);
