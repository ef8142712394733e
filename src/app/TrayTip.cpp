#include "app/TrayTip.h"

#include <cstdio>

namespace {

std::wstring KindLine(const wchar_t* kind, const CTunerStatus& status, size_t maxUnits)
{
    std::wstring head = std::wstring(kind) + L": ";
    if (!status.served) return head + L"無効";
    std::wstring tail = status.inUse ? L" 使用中" : L" 待機中";
    if (status.inUse && !status.channel.empty()) {
        wchar_t level[32];
        std::swprintf(level, 32, L" %.1f dB", static_cast<double>(status.signalLevel));
        tail += L" " + status.channel + level;
    }
    std::wstring plugin = status.plugin;
    const size_t fixed = head.size() + tail.size();
    if (fixed + plugin.size() > maxUnits) {
        const size_t room = maxUnits > fixed + 1 ? maxUnits - fixed - 1 : 0;
        plugin = plugin.substr(0, room) + L"…";
    }
    std::wstring line = head + plugin + tail;
    return line.size() > maxUnits ? line.substr(0, maxUnits) : line;
}

}  // namespace

std::wstring FormatTrayTip(const CTunerStatus& terrestrial, const CTunerStatus& satellite, size_t maxUnits)
{
    const std::wstring title = L"TunerHost";
    if (maxUnits < title.size() + 2) return title.substr(0, maxUnits);
    // Each kind gets half of what the title leaves, so that neither hides the other.
    const size_t perLine = (maxUnits - title.size() - 2) / 2;
    return title + L"\n" + KindLine(L"地上", terrestrial, perLine) + L"\n" + KindLine(L"衛星", satellite, perLine);
}
