// tsserve's HTTP side: the routes, their status codes, the streams (each
// fed by its tuner kind's CTunerFeed), and the network tuner devices with
// their discovery.
#pragma once
#include "CDiscovery.h"
#include "CHttpServer.h"
#include "CTunerFeed.h"
#include "ChannelList.h"
#include "Lineup.h"
#include "NetworkTuner.h"
#include "ServeOptions.h"

#include <memory>
#include <string>

class CEventLog;

class CHttpService {
public:
    CHttpService(const ServeOptions& options, const CChannelListing& listing, CEventLog& log);
    ~CHttpService();
    CHttpService(const CHttpService&) = delete;
    CHttpService& operator=(const CHttpService&) = delete;

    // Binds the address and starts answering; false with a message when the
    // address cannot be had.
    bool Start(std::string& error);
    // Ends every stream and connection.
    void Stop();
    std::string StatusLine() const;

private:
    void Handle(const CHttpRequest& req, CHttpConnection& c);
    void Index(const CHttpRequest& req, CHttpConnection& c);
    // A device's own documents; false for other paths.
    bool HandleDevice(const CHttpRequest& req, CHttpConnection& c, const CNetworkTuner& device,
                      const std::string& path);
    bool Allowed(const std::string& address) const;
    // "http://" and the Host the request names, or the address it came to.
    std::string BaseUrl(const CHttpRequest& req) const;
    std::string HostPart(const CHttpRequest& req) const;  // without the port
    std::string DeviceBase(const CHttpRequest& req, const CNetworkTuner& device) const;
    // The served device whose port this is; null for the main port.
    const CNetworkTuner* DeviceAt(int port) const;
    // /stream/... and the lineup's /auto/v...: the same stream, but a busy
    // tuner is answered as network tuners answer it for the latter.
    void Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial, const CListedChannel& channel,
                bool lineup);
    void Refuse(const CHttpRequest& req, CHttpConnection& c, JoinError error, const std::string& reason, bool lineup,
                const CTunerFeed& feed, const CListedChannel& channel);
    CTunerFeed& Feed(bool terrestrial) { return terrestrial ? terrestrial_ : satellite_; }
    const CLineup& LineupOf(bool terrestrial) const { return terrestrial ? lineupT_ : lineupS_; }
    const CListedKind& KindOf(bool terrestrial) const
    {
        return terrestrial ? listing_.terrestrial : listing_.satellite;
    }
    // The device the root's documents describe: the first kind served.
    const CNetworkTuner* DefaultDevice() const;

    const ServeOptions options_;
    const CChannelListing listing_;
    CEventLog& log_;
    const CLineup lineupT_;  // point into listing_
    const CLineup lineupS_;
    const CNetworkTuner deviceT_;
    const CNetworkTuner deviceS_;
    CTunerFeed terrestrial_;
    CTunerFeed satellite_;
    CHttpServer server_;
    std::unique_ptr<CDiscovery> discovery_;
};
