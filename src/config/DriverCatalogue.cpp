#include "config/DriverCatalogue.h"

#include "common/WinHandle.h"
#include "tuner/IBonDriver.h"

#include <windows.h>

namespace {

// Keeps the loader from showing a dialog for a file that is not a DLL.
class CQuietErrors {
public:
    CQuietErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_); }
    ~CQuietErrors() { SetThreadErrorMode(previous_, nullptr); }

private:
    DWORD previous_ = 0;
};

// Lists spaces and channels; false when a list runs past its bound.
bool ListSpaces(IBonDriver2* driver, std::vector<CSpaceInfo>& spaces)
{
    for (uint32_t s = 0;; ++s) {
        const wchar_t* spaceName = driver->SpaceName(s);
        if (!spaceName) return true;
        if (s >= kMaxSpaces) return false;
        CSpaceInfo space;
        space.name = CopyPluginString(spaceName);
        for (uint32_t c = 0;; ++c) {
            const wchar_t* channelName = driver->ChannelName(s, c);
            if (!channelName) break;
            if (c >= kMaxChannelsPerSpace) return false;
            space.channels.push_back(CopyPluginString(channelName));
        }
        if (!space.channels.empty()) spaces.push_back(std::move(space));
    }
}

bool EqualsIgnoreCase(const wchar_t* a, const wchar_t* b)
{
    return lstrcmpiW(a, b) == 0;
}

}  // namespace

std::wstring CopyPluginString(const wchar_t* text)
{
    size_t length = 0;
    while (length < kMaxNameUnits && text[length]) ++length;
    return std::wstring(text, length);
}

bool ProbeDriver(CDriverInfo& entry, const std::wstring& directory)
{
    const std::wstring path = directory + L"\\" + entry.fileName;
    CModule module;
    {
        CQuietErrors quiet;
        module.Reset(LoadLibraryW(path.c_str()));
    }
    if (!module) return false;
    auto create = reinterpret_cast<CreateBonDriverFn>(GetProcAddress(module.Get(), kCreateBonDriverExport));
    if (!create) return false;
    IBonDriver* driver = create();
    if (!driver) return false;

    bool found = false;
    if (driver->Open()) {
        if (IBonDriver2* driver2 = AsBonDriver2(driver)) {
            std::vector<CSpaceInfo> spaces;
            if (ListSpaces(driver2, spaces)) {
                entry.spaces = std::move(spaces);
                found = !entry.spaces.empty();
            } else {
                entry.spaces.clear();
            }
        }
    }
    driver->Close();
    driver->Destroy();
    return found;  // the module is unloaded here, after Destroy
}

void CConfig::ScanDrivers()
{
    drivers.clear();
    const std::wstring pattern = exeDirectory + L"\\BonDriver_*.dll";
    WIN32_FIND_DATAW found;
    CFindHandle find(FindFirstFileW(pattern.c_str(), &found));
    if (!find) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (EqualsIgnoreCase(found.cFileName, L"bondriver_file.dll")) continue;
        // The pattern can also match longer extensions through short names.
        const size_t length = wcslen(found.cFileName);
        if (length < 4 || !EqualsIgnoreCase(found.cFileName + length - 4, L".dll")) continue;
        CDriverInfo entry;
        entry.fileName = found.cFileName;
        if (!ProbeDriver(entry, exeDirectory)) continue;
        if (EqualsIgnoreCase(found.cFileName, L"bondriver_tcp.dll") ||
            EqualsIgnoreCase(found.cFileName, L"bondriver_udp.dll"))
            entry.FixChannel = 1;
        drivers.push_back(std::move(entry));
    } while (FindNextFileW(find.Get(), &found));
}
