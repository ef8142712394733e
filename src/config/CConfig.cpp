#include "config/CConfig.h"

#include "common/WinHandle.h"
#include "config/IniNumber.h"

#include <windows.h>

namespace {

constexpr DWORD kValueUnits = 1024;
constexpr DWORD kSectionNamesUnits = 4096;
constexpr DWORD kFirstPathUnits = 260;
constexpr DWORD kMaxPathUnits = 4160;
constexpr size_t kShortestSectionName = 21;  // "bondriver_.dll" + "_Config"

const wchar_t kConfigSection[] = L"Config";
const wchar_t kSectionSuffix[] = L"_Config";

struct SettingKey {
    const wchar_t* key;
    const wchar_t* defaultText;
    int32_t CDriverInfo::*field;
};
const SettingKey kSettingKeys[] = {
    {L"TuningSpaceUHF", L"0", &CDriverInfo::TuningSpaceUHF},
    {L"TuningSpaceCATV", L"1", &CDriverInfo::TuningSpaceCATV},
    {L"TuningSpaceVHF", L"2", &CDriverInfo::TuningSpaceVHF},
    {L"TuningSpaceBS", L"0", &CDriverInfo::TuningSpaceBS},
    {L"TuningSpaceCS", L"1", &CDriverInfo::TuningSpaceCS},
    {L"FixChannel", L"0", &CDriverInfo::FixChannel},
    {L"FixedTuningSpace", L"0", &CDriverInfo::FixedTuningSpace},
    {L"FixedChannel", L"0", &CDriverInfo::FixedChannel},
};

std::wstring ReadValue(const wchar_t* section, const wchar_t* key, const wchar_t* defaultText,
                       const std::wstring& path)
{
    wchar_t buffer[kValueUnits] = {};
    GetPrivateProfileStringW(section, key, defaultText, buffer, kValueUnits, path.c_str());
    buffer[kValueUnits - 1] = 0;
    return buffer;
}

bool EqualsIgnoreCase(const std::wstring& a, const wchar_t* b)
{
    return lstrcmpiW(a.c_str(), b) == 0;
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// The whole file; `exists` false (and true returned) when there is none.
bool ReadWholeFile(const std::wstring& path, std::string& text, bool& exists)
{
    text.clear();
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        exists = false;
        return error == ERROR_FILE_NOT_FOUND;
    }
    exists = true;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > 64 * 1024 * 1024) return false;
    text.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return text.empty() || (ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr) &&
                            got == text.size());
}

bool WriteAt(HANDLE file, const std::string& text)
{
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    DWORD written = 0;
    return text.empty() ||
           (WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size());
}

bool SetLength(HANDLE file, size_t length)
{
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

bool WriteWholeFile(const std::wstring& path, const std::string& text)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    return file && WriteAt(file.Get(), text);
}

// A new, empty file of a unique name: in the temporary folder, or else in
// `fallbackFolder`. Empty when neither can hold one.
std::wstring NewScratchFile(const std::wstring& fallbackFolder)
{
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(ARRAYSIZE(folder), folder);
    if (length > 0 && length < ARRAYSIZE(folder) && GetTempFileNameW(folder, L"thi", 0, name)) return name;
    if (GetTempFileNameW(fallbackFolder.c_str(), L"thi", 0, name)) return name;
    return L"";
}

// Replaces the text of the file at `path` with `after`, in place; on failure
// the file holds `before` again (or, if it did not exist, is not there).
bool OverwriteFile(const std::wstring& path, bool existed, const std::string& before, const std::string& after)
{
    if (!existed) {
        CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        if (!file) return false;
        if (WriteAt(file.Get(), after) && FlushFileBuffers(file.Get())) return true;
        file.Reset();
        DeleteFileW(path.c_str());
        return false;
    }
    // Refused as the system refuses it, also to a user whose rights would
    // let the write through.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    // Room for the longer text first: a full disk then fails before a byte of
    // the old text is overwritten.
    if (after.size() > before.size() && !SetLength(file.Get(), after.size())) {
        SetLength(file.Get(), before.size());
        return false;
    }
    if (WriteAt(file.Get(), after) && SetLength(file.Get(), after.size()) && FlushFileBuffers(file.Get()))
        return true;
    WriteAt(file.Get(), before);
    SetLength(file.Get(), before.size());
    return false;
}

}  // namespace

void CDriverInfo::CopySettingsFrom(const CDriverInfo& other)
{
    for (const SettingKey& k : kSettingKeys) this->*k.field = other.*k.field;
}

void CDriverInfo::ClampSettings()
{
    const int32_t n = static_cast<int32_t>(spaces.size());
    for (int32_t* band : {&TuningSpaceUHF, &TuningSpaceCATV, &TuningSpaceVHF, &TuningSpaceBS, &TuningSpaceCS})
        if (*band >= n) *band = -1;
    if (FixedTuningSpace >= n || FixedTuningSpace < 0) {
        FixedTuningSpace = 0;
        return;
    }
    const int32_t m = static_cast<int32_t>(spaces[FixedTuningSpace].channels.size());
    if (FixedChannel < 0 || FixedChannel >= m) FixedChannel = 0;
}

bool ParseDriverSectionName(const std::wstring& section, std::wstring& driverName)
{
    if (section.size() < kShortestSectionName) return false;
    const size_t lastUnderscore = section.rfind(L'_');
    if (lastUnderscore == std::wstring::npos) return false;
    if (!EqualsIgnoreCase(section.substr(lastUnderscore + 1), L"config")) return false;
    const std::wstring driver = section.substr(0, lastUnderscore);
    const size_t firstUnderscore = driver.find(L'_');
    if (firstUnderscore == std::wstring::npos) return false;
    if (!EqualsIgnoreCase(driver.substr(0, firstUnderscore), L"bondriver")) return false;
    const size_t lastDot = driver.rfind(L'.');
    if (lastDot == std::wstring::npos) return false;
    if (!EqualsIgnoreCase(driver.substr(lastDot + 1), L"dll")) return false;
    driverName = driver;
    return true;
}

bool CConfig::LoadConfig()
{
    std::wstring path;
    for (DWORD units = kFirstPathUnits; units <= kMaxPathUnits; units *= 2) {
        path.assign(units, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), units);
        if (length == 0) return false;
        if (length < units) {
            path.resize(length);
            return LoadConfigForPath(path);
        }
    }
    return false;
}

bool CConfig::LoadConfigForPath(const std::wstring& exePath)
{
    const size_t slash = exePath.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    std::wstring base = exePath.substr(slash + 1);
    const size_t dot = base.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    exeDirectory = exePath.substr(0, slash);
    exeBaseName = base.substr(0, dot);
    iniPath = exeDirectory + L"\\" + exeBaseName + L".ini";

    ReadConfig();
    ScanDrivers();
    if (sectionListCut) ReadCatalogueSections();

    // File names and section names are matched as the file system and the
    // INI functions match them, ignoring letter case: a section found here is
    // the one the next save writes into.
    DriverIndexT = DriverIndexS = -1;
    for (size_t i = 0; i < drivers.size(); ++i) {
        CDriverInfo& entry = drivers[i];
        if (EqualsIgnoreCase(entry.fileName, DriverNameT.c_str())) DriverIndexT = static_cast<int32_t>(i);
        if (EqualsIgnoreCase(entry.fileName, DriverNameS.c_str())) DriverIndexS = static_cast<int32_t>(i);
        ApplyStoredSettings(entry);
    }
    return true;
}

void CConfig::ApplyStoredSettings(CDriverInfo& entry) const
{
    for (const CDriverInfo& stored : driverSettings) {
        if (!EqualsIgnoreCase(stored.fileName, entry.fileName.c_str())) continue;
        entry.CopySettingsFrom(stored);
        entry.ClampSettings();
    }
}

size_t CConfig::AdoptLateDriver(CDriverInfo entry)
{
    if (sectionListCut) {
        const std::wstring section = entry.fileName + kSectionSuffix;
        wchar_t probe[4] = {};
        if (GetPrivateProfileSectionW(section.c_str(), probe, ARRAYSIZE(probe), iniPath.c_str()) != 0) {
            CDriverInfo stored = ReadDriverSection(section);
            stored.fileName = entry.fileName;
            driverSettings.push_back(std::move(stored));
        }
    }
    ApplyStoredSettings(entry);
    const auto at = static_cast<int32_t>(drivers.size());
    if (DriverIndexT < 0 && EqualsIgnoreCase(entry.fileName, DriverNameT.c_str())) DriverIndexT = at;
    if (DriverIndexS < 0 && EqualsIgnoreCase(entry.fileName, DriverNameS.c_str())) DriverIndexS = at;
    drivers.push_back(std::move(entry));
    return static_cast<size_t>(at);
}

void CConfig::ReadConfig()
{
    DriverNameT = ReadValue(kConfigSection, L"DriverNameT", L"", iniPath);
    DriverNameS = ReadValue(kConfigSection, L"DriverNameS", L"", iniPath);
    driverSettings.clear();

    std::wstring names(kSectionNamesUnits, L'\0');
    const DWORD length = GetPrivateProfileSectionNamesW(names.data(), kSectionNamesUnits, iniPath.c_str());
    // 0: no file or no section. kSectionNamesUnits - 2: the names did not all
    // fit; a cut list is not walked, and the catalogue's sections are read
    // by name instead once the catalogue exists.
    sectionListCut = length >= kSectionNamesUnits - 2;
    if (length == 0 || sectionListCut) return;
    names.resize(length + 1);

    for (size_t at = 0; at < names.size() && names[at] != L'\0';) {
        const size_t end = names.find(L'\0', at);
        const std::wstring section = names.substr(at, end - at);
        at = end + 1;
        std::wstring driverName;
        if (!ParseDriverSectionName(section, driverName)) continue;
        CDriverInfo entry = ReadDriverSection(section);
        entry.fileName = driverName;
        driverSettings.push_back(std::move(entry));
    }
}

void CConfig::ReadCatalogueSections()
{
    driverSettings.clear();
    for (const CDriverInfo& entry : drivers) {
        const std::wstring section = entry.fileName + kSectionSuffix;
        // A section that is absent (or empty) leaves the entry as the catalogue made it.
        wchar_t probe[4] = {};
        if (GetPrivateProfileSectionW(section.c_str(), probe, ARRAYSIZE(probe), iniPath.c_str()) == 0) continue;
        CDriverInfo stored = ReadDriverSection(section);
        stored.fileName = entry.fileName;
        driverSettings.push_back(std::move(stored));
    }
}

CDriverInfo CConfig::ReadDriverSection(const std::wstring& section) const
{
    CDriverInfo entry;
    for (const SettingKey& k : kSettingKeys)
        entry.*k.field = ParseIniInt32(ReadValue(section.c_str(), k.key, k.defaultText, iniPath).c_str());
    return entry;
}

bool CConfig::SaveConfig() const
{
    // The new text is made by the INI functions in a scratch copy, then
    // written over the file in place: the file keeps its links, permissions
    // and attributes, nothing beside it is created or removed, and a read-only
    // file is simply not saved.
    std::string before;
    bool existed = false;
    if (!ReadWholeFile(iniPath, before, existed)) return false;
    const std::wstring scratch = NewScratchFile(exeDirectory.empty() ? FolderOf(iniPath) : exeDirectory);
    if (scratch.empty()) return false;
    std::string after;
    bool made = WriteWholeFile(scratch, before) && SaveConfigTo(scratch);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, scratch.c_str());  // flushes what the platform caches
    bool scratchExists = false;
    made = made && ReadWholeFile(scratch, after, scratchExists) && scratchExists;
    DeleteFileW(scratch.c_str());
    return made && OverwriteFile(iniPath, existed, before, after);
}

bool CConfig::SaveConfigTo(const std::wstring& path) const
{
    // A kind without a catalogue entry keeps its stored name: its plug-in may
    // only have been busy or absent at start-up.
    auto nameOf = [this](int32_t index, const std::wstring& stored) -> std::wstring {
        if (index < 0 || static_cast<size_t>(index) >= drivers.size()) return stored;
        return drivers[index].fileName;
    };
    bool ok = true;
    ok &= WritePrivateProfileStringW(kConfigSection, L"DriverNameT", nameOf(DriverIndexT, DriverNameT).c_str(),
                                     path.c_str()) != 0;
    ok &= WritePrivateProfileStringW(kConfigSection, L"DriverNameS", nameOf(DriverIndexS, DriverNameS).c_str(),
                                     path.c_str()) != 0;
    for (const CDriverInfo& entry : drivers) ok &= WriteDriverSection(entry, path);
    return ok;
}

bool CConfig::WriteDriverSection(const CDriverInfo& entry) const
{
    return WriteDriverSection(entry, iniPath);
}

bool CConfig::WriteDriverSection(const CDriverInfo& entry, const std::wstring& path) const
{
    const std::wstring section = entry.fileName + kSectionSuffix;
    bool ok = true;
    for (const SettingKey& k : kSettingKeys)
        ok &= WritePrivateProfileStringW(section.c_str(), k.key, FormatIniInt32(entry.*k.field).c_str(),
                                         path.c_str()) != 0;
    return ok;
}
