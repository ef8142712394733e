// tsserve: serves TunerHost's tuners over HTTP to players and media servers
// on this machine or, when asked, on others. It is a client of TunerHost's
// pipes like tsrec; TunerHost itself knows nothing of it.
#include "CConsoleEvents.h"
#include "CEventLog.h"
#include "CHttpService.h"
#include "ChannelList.h"
#include "ChannelScan.h"
#include "GuideStore.h"
#include "SavedFile.h"
#include "ScanChoice.h"
#include "ScanStore.h"
#include "ServeOptions.h"
#include "common/WinHandle.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitNoSettings = 2, kExitCannotListen = 3, kExitNotScanned = 4 };

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

// The scan and the guide as the last run left them; a damaged file is said
// in one line and left out, and what a tsserve that ended mid-save left is removed.
void LoadStores(CScanStore& scans, CGuideStore& guide, CEventLog& log)
{
    for (const std::wstring& path : {scans.Path(), guide.Path()})
        if (const size_t n = RemoveUnfinishedSaves(path))
            log.Line("removed " + std::to_string(n) + " unfinished save(s) of " + Utf8Path(path) +
                     " (left by a tsserve that ended while saving)");
    std::string error;
    if (!scans.Load(error))
        log.Line("the saved scan " + Utf8Path(scans.Path()) + " cannot be read (" + error + "): it is left out");
    if (!guide.Load(UtcNow(), error))
        log.Line("the saved guide " + Utf8Path(guide.Path()) + " cannot be read (" + error + "): it is left out");
}

void SaveGuide(CGuideStore& guide, CEventLog& log)
{
    std::string error;
    if (!guide.Save(UtcNow(), error))
        log.Line("could not save the guide in " + Utf8Path(guide.Path()) + ": " + error);
}

void SaveScans(CScanStore& scans, CEventLog& log)
{
    std::string error;
    if (!scans.Save(error)) log.Line("could not save the scan in " + Utf8Path(scans.Path()) + ": " + error);
}

// tsserve --scan: both kinds at once, each on its own tuner, a line per
// channel; what was found is saved beside tsserve.
int Scan(const ServeOptions& options, const CChannelListing& listing, CConsoleEvents& console)
{
    CScanChoice only;
    std::string error;
    if (!ParseScanChoice(listing, options.scanOnly, only, error)) {
        std::fprintf(stderr, "tsserve: --only: %s\n", error.c_str());
        return kExitUsage;
    }
    CEventLog log;
    CScanStore scans(BesideProgram(L"tsserve-scan.json"));
    CGuideStore guide(BesideProgram(L"tsserve-guide.json"));
    LoadStores(scans, guide, log);
    CFeedSettings settings;
    CTunerFeed feedT(TunerKind::Terrestrial, settings, log), feedS(TunerKind::Satellite, settings, log);
    auto say = [&log](const std::string& line) { log.Line(line); };
    CChannelScan scanT(feedT, listing.terrestrial, scans, guide, say), scanS(feedS, listing.satellite, scans, guide, say);
    std::vector<CChannelScan*> started;
    for (auto [scan, kind, chosen] : {std::tuple{&scanT, &listing.terrestrial, &only.terrestrial},
                                      std::tuple{&scanS, &listing.satellite, &only.satellite}}) {
        if (!kind->Served() || (!only.Empty() && chosen->empty())) continue;
        scan->Start(only.Empty() ? nullptr : chosen);
        started.push_back(scan);
    }
    if (started.empty()) {
        log.Line("nothing to scan: TunerHost's settings serve no tuner kind");
        return kExitNotScanned;
    }
    const auto running = [&] {
        for (CChannelScan* scan : started)
            if (scan->Status().running) return true;
        return false;
    };
    while (running()) {
        if (WaitForSingleObject(console.StopEvent(), 250) != WAIT_OBJECT_0) continue;
        // Stopped (Ctrl+C, or the console closing, when the process ends
        // soon): the scans stop within moments and save what they read;
        // what they have not saved by the time the guide is, is saved here.
        for (CChannelScan* scan : started) scan->Abort();
        SaveGuide(guide, log);
        for (const ULONGLONG until = GetTickCount64() + 2000; running() && GetTickCount64() < until;) Sleep(50);
        if (running()) SaveScans(scans, log);
        console.Saved();
        break;
    }
    bool finished = true;
    for (CChannelScan* scan : started) {
        scan->Wait();
        finished = finished && scan->Status().finished;
    }
    SaveGuide(guide, log);
    console.Saved();
    log.Line("the scan is saved in " + Utf8Path(scans.Path()) + (finished ? "" : " (as far as it went)") +
             "; tsserve lists its services from its next start");
    return finished ? kExitOk : kExitNotScanned;
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
    CConsoleEvents console;
    if (options.scan) return Scan(options, listing, console);

    CEventLog log;
    CScanStore scans(BesideProgram(L"tsserve-scan.json"));
    CGuideStore guide(BesideProgram(L"tsserve-guide.json"));
    LoadStores(scans, guide, log);
    const uint64_t loaded = scans.Generation();
    CHttpService service(options, listing, scans, guide, log);
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
    while (WaitForSingleObject(console.StopEvent(), 1000) == WAIT_TIMEOUT) {
        service.Tick();
        log.Status(service.StatusLine());
    }
    // First what must outlive a console that closes, then the rest.
    SaveGuide(guide, log);
    if (scans.Generation() != loaded) SaveScans(scans, log);
    console.Saved();
    log.Finish();
    log.Line("stopping");
    service.Stop();
    log.Line("stopped");
    return kExitOk;
}
