// tsserve: serves TunerHost's tuners over HTTP to players and media servers
// on this machine or, when asked, on others. It is a client of TunerHost's
// pipes like tsrec; TunerHost itself knows nothing of it.
#include "CEventLog.h"
#include "CHttpService.h"
#include "ChannelList.h"
#include "ServeOptions.h"
#include "common/WinHandle.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitNoSettings = 2, kExitCannotListen = 3 };

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD)
{
    SetEvent(g_stop);
    return TRUE;
}

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\'));
}

size_t CountChannels(const CListedKind& kind)
{
    size_t n = 0;
    for (const CListedBand& b : kind.bands) n += b.channels.size();
    return n;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ServeOptions options;
    std::string error;
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h")) {
        PrintUsage();
        return kExitUsage;
    }
    if (!ParseServeOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "tsserve: %s\n", error.c_str());
        PrintUsage();
        return kExitUsage;
    }
    if (options.hostDirectory.empty()) options.hostDirectory = OwnDirectory();

    CChannelListing listing;
    if (!ListChannels(options.hostDirectory, listing, error)) {
        std::fprintf(stderr, "tsserve: %s\n", error.c_str());
        return kExitNoSettings;
    }
    CHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_stop = stop.Get();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    CEventLog log;
    CHttpService service(options, listing, log);
    if (!service.Start(error)) {
        std::fprintf(stderr, "tsserve: %s\n", error.c_str());
        return kExitCannotListen;
    }
    const bool everyAddress = options.host == "0.0.0.0" || options.host == "::";
    const std::string url = everyAddress ? "http://<this machine>:" + std::to_string(options.port)
                                         : "http://" + ListenText(options);
    const std::string host = url.substr(0, url.rfind(':') + 1);
    auto kind = [&](const CListedKind& k, int devicePort) {
        return k.Served() ? k.plugin + ", " + std::to_string(CountChannels(k)) + " channels, network tuner " + host +
                                std::to_string(devicePort)
                          : std::string("not served");
    };
    log.Line("serving " + url + "/ (playlist " + url + "/playlist.m3u); terrestrial: " +
             kind(listing.terrestrial, options.port + 1) + "; satellite: " + kind(listing.satellite, options.port + 2) +
             "; Ctrl+C ends");
    while (WaitForSingleObject(stop.Get(), 1000) == WAIT_TIMEOUT) log.Status(service.StatusLine());
    log.Finish();
    log.Line("stopping");
    service.Stop();
    log.Line("stopped");
    return kExitOk;
}
