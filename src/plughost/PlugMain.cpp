// The plug-in host: TunerHost starts it, of the plug-in's bitness, to load a
// plug-in and the descrambler in a process of their own. It has no window
// and shows nothing (QuietFaults.h).
#include "plughost/CPlugServer.h"
#include "plughost/QuietFaults.h"

#include <windows.h>

#include <cwchar>

namespace {

// The handles named on the command line, in decimal; they are ours alone:
// a process the plug-in starts does not inherit them.
HANDLE Argument(const wchar_t*& at)
{
    while (*at == L' ' || *at == L'\t') ++at;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(at, &end, 10);
    if (end == at) return nullptr;
    at = end;
    const auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    if (handle) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    return handle;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    ShowNothing();
    const wchar_t* at = commandLine;
    HANDLE channel = Argument(at);
    HANDLE section = Argument(at);
    HANDLE ready = Argument(at);
    HANDLE room = Argument(at);
    if (!channel) return 1;
    void* view = nullptr;
    if (section && ready && room) {
        view = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kRingSectionBytes);
        if (!view) return 1;
    }
    CPlugServer server(channel, view, ready, room);
    return server.Run();
}
