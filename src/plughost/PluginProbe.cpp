#include "plughost/PluginProbe.h"

#include "common/Readable.h"
#include "plughost/PlugProtocol.h"
#include "tuner/IBonDriver.h"

namespace {

// Lists spaces and channels; false when a list runs past its bound or a name
// cannot be read.
bool ListSpaces(IBonDriver2* driver, std::vector<CSpaceInfo>& spaces)
{
    for (uint32_t s = 0;; ++s) {
        const wchar_t* spaceName = driver->SpaceName(s);
        if (!spaceName) return true;
        if (s >= kMaxSpaces) return false;
        CSpaceInfo space;
        if (!CopyPluginString(spaceName, space.name)) return false;
        for (uint32_t c = 0;; ++c) {
            const wchar_t* channelName = driver->ChannelName(s, c);
            if (!channelName) break;
            if (c >= kMaxChannelsPerSpace) return false;
            std::wstring name;
            if (!CopyPluginString(channelName, name)) return false;
            space.channels.push_back(std::move(name));
        }
        if (!space.channels.empty()) spaces.push_back(std::move(space));
    }
}

}  // namespace

bool CopyPluginString(const wchar_t* text, std::wstring& out)
{
    // The plug-in's memory, which may be stale: each page is asked about
    // before it is read.
    constexpr uintptr_t kPage = 4096;
    size_t length = 0;
    for (;; ++length) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(text + length);
        if ((length == 0 || at % kPage < sizeof(wchar_t)) && !IsReadable(text + length, sizeof(wchar_t)))
            return false;
        if (length >= kMaxNameUnits || !text[length]) break;
    }
    out.assign(text, length);
    return true;
}

bool ProbeLoad(const std::wstring& path, CModule& module)
{
    module.Reset(LoadLibraryW(path.c_str()));
    return static_cast<bool>(module);
}

bool ProbeList(CModule& module, std::vector<CSpaceInfo>& spaces)
{
    spaces.clear();
    if (!module) return false;
    auto create = reinterpret_cast<CreateBonDriverFn>(
        reinterpret_cast<void*>(GetProcAddress(module.Get(), kCreateBonDriverExport)));
    IBonDriver* driver = create ? create() : nullptr;
    bool found = false;
    if (driver) {
        if (driver->Open()) {
            if (IBonDriver2* driver2 = AsBonDriver2(driver)) {
                if (ListSpaces(driver2, spaces)) found = !spaces.empty();
                else spaces.clear();
            }
        }
        driver->Close();
        driver->Destroy();
    }
    module.Reset();
    return found;
}
