// tsserve's HTTP side: the routes, their status codes, the streams (each
// fed by its tuner kind's CTunerFeed), the network tuner devices with their
// discovery, the channel scans media servers start, and the guide (taken
// from every stream read, and by an idle pass of each kind).
#pragma once
#include "api/CApi.h"
#include "discovery/CDiscovery.h"
#include "pages/Documents.h"
#include "http/CHttpServer.h"
#include "http/RouteTable.h"
#include "feed/CTunerFeed.h"
#include "ChannelList.h"
#include "scan/ChannelScan.h"
#include "guide/GuidePass.h"
#include "guide/GuideStore.h"
#include "guide/GuideTap.h"
#include "lineup/Lineup.h"
#include "discovery/NetworkTuner.h"
#include "scan/ScanChoice.h"
#include "lineup/ScanStore.h"
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
    void AddRoutes();
    // The routes' handlers.
    void Index(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void Playlist(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void StatusDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void XmltvDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    // The guide of the next `days` days (1 to 8; absent 3), as recorders' IPTV paths serve it.
    void EpgDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void ChannelStream(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void LineupStream(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void DiscoverDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void LineupDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void LineupStatusDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void LineupPost(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    void DeviceDocument(const CHttpRequest& req, CHttpConnection& c, const CRouteParams& p);
    // The device a network tuner's document is asked of: the port's, or on
    // the main port the first kind served; null, with 404 answered, when none is.
    const CNetworkTuner* DeviceFor(const CHttpRequest& req, CHttpConnection& c) const;
    CLineupScan ScanFigures(bool terrestrial, bool satellite) const;
    // base: the URL the request came to, for the channels' logos.
    std::string Xmltv(const CLineups& lineups, const std::string& base,
                      std::optional<int64_t> beforeUtc = std::nullopt) const;
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
    CRouteTable routes_;
    CApi api_;
    CHttpServer server_;
    std::unique_ptr<CDiscovery> discovery_;
};
