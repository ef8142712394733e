// tsserve's HTTP side: the routes, their status codes, the streams (each
// fed by its tuner kind's CTunerFeed), the network tuner devices with their
// discovery, the channel scans media servers start, and the guide (taken
// from every stream read, and by an idle pass of each kind).
#pragma once
#include "CDiscovery.h"
#include "Documents.h"
#include "CHttpServer.h"
#include "CTunerFeed.h"
#include "ChannelList.h"
#include "ChannelScan.h"
#include "GuidePass.h"
#include "GuideStore.h"
#include "GuideTap.h"
#include "Lineup.h"
#include "NetworkTuner.h"
#include "ScanChoice.h"
#include "ScanStore.h"
#include "ServeOptions.h"

#include <memory>
#include <mutex>
#include <string>

class CEventLog;

class CHttpService {
public:
    CHttpService(const ServeOptions& options, const CChannelListing& listing, CScanStore& scans, CGuideStore& guide,
                 CEventLog& log);
    ~CHttpService();
    CHttpService(const CHttpService&) = delete;
    CHttpService& operator=(const CHttpService&) = delete;

    // Binds the address and starts answering; false with a message when the
    // address cannot be had.
    bool Start(std::string& error);
    // Ends every stream and connection.
    void Stop();
    std::string StatusLine() const;
    // Once a second, from the main thread: saves the guide now and then, and
    // lets the idle pass have a tuner again after its scan.
    void Tick();

private:
    void Handle(const CHttpRequest& req, CHttpConnection& c);
    void Index(const CHttpRequest& req, CHttpConnection& c);
    // A device's own documents; false for other paths.
    // root: asked on the main port, which stands for both kinds in scans.
    bool HandleDevice(const CHttpRequest& req, CHttpConnection& c, const CNetworkTuner& device,
                      const std::string& path, bool root);
    void LineupPost(const CHttpRequest& req, CHttpConnection& c, const CNetworkTuner& device, bool root);
    CLineupScan ScanFigures(bool terrestrial, bool satellite) const;
    std::string Xmltv(const CLineups& lineups) const;
    CGuideView GuideView(const CLineups& lineups) const;
    CServedKind Served(const CHttpRequest& req, bool terrestrial, const CLineups& lineups) const;
    bool Allowed(const std::string& address) const;
    // "http://" and the Host the request names, or the address it came to.
    std::string BaseUrl(const CHttpRequest& req) const;
    std::string HostPart(const CHttpRequest& req) const;  // without the port
    std::string DeviceBase(const CHttpRequest& req, const CNetworkTuner& device) const;
    // The served device whose port this is; null for the main port.
    const CNetworkTuner* DeviceAt(int port) const;
    // /stream/... and the lineup's /auto/v...: the same stream, but a busy
    // tuner is answered as network tuners answer it for the latter.
    // service: the one service to send; 0 for the whole stream.
    // sources: the channels that carry it, tried in turn (CLineup::Sources).
    void Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial,
                const std::vector<const CListedChannel*>& sources, uint16_t service, bool lineup);
    // False, with nothing answered, when the channel cannot be had and
    // `another` says another channel may serve the request.
    bool StreamFrom(const CHttpRequest& req, CHttpConnection& c, bool terrestrial, const CListedChannel& channel,
                    uint16_t service, bool lineup, bool another);
    void Refuse(const CHttpRequest& req, CHttpConnection& c, JoinError error, const std::string& reason, bool lineup,
                const CTunerFeed& feed, const CListedChannel& channel);
    CTunerFeed& Feed(bool terrestrial) { return terrestrial ? terrestrial_ : satellite_; }
    // The lineups as the scans left them, or as a scan in progress has them.
    std::shared_ptr<const CLineups> Lineups() const;
    const CListedKind& KindOf(bool terrestrial) const
    {
        return terrestrial ? listing_.terrestrial : listing_.satellite;
    }
    // The device the root's documents describe: the first kind served.
    const CNetworkTuner* DefaultDevice() const;

    const ServeOptions options_;
    const CChannelListing listing_;
    CScanStore& scans_;
    CGuideStore& guide_;
    CEventLog& log_;
    mutable std::mutex lineupsMutex_;
    mutable std::shared_ptr<const CLineups> lineups_;  // point into listing_
    mutable uint64_t lineupsGeneration_ = ~0ull;
    mutable std::vector<const CListedChannel*> lineupsPending_;  // of both kinds' scans
    const CNetworkTuner deviceT_;
    const CNetworkTuner deviceS_;
    CTunerFeed terrestrial_;
    CTunerFeed satellite_;
    CGuideTap tapT_;  // the feeds' session threads'
    CGuideTap tapS_;
    CChannelScan scanT_;
    CChannelScan scanS_;
    CGuidePass passT_;
    CGuidePass passS_;
    ULONGLONG savedMs_ = GetTickCount64();
    CHttpServer server_;
    std::unique_ptr<CDiscovery> discovery_;
};
