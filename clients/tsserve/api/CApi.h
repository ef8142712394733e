// The recorders' tuner-server API on tsserve's main port, under /api/, as
// the front-ends' client library (the "Mirakurun" API, v3) drives it: the
// document it reads first, tuners, channels, services, programmes, their
// streams (each with its priority, X-Mirakurun-Priority) and the events.
// Its routes go into the service's table (AddRoutes), whose API routes also
// make the document. Errors are JSON {code, reason, errors}. A thread of its
// own turns changes of tuners' users, of the lineups and of the guide into
// events.
#pragma once
#include "ApiEvents.h"
#include "ApiShapes.h"
#include "ChannelList.h"
#include "feed/CTunerFeed.h"
#include "feed/StreamStart.h"
#include "guide/GuideStore.h"
#include "http/RouteTable.h"
#include "lineup/Lineup.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class CEventLog;

class CApi {
public:
    using LineupsSource = std::function<std::shared_ptr<const CLineups>()>;
    CApi(const CChannelListing& listing, LineupsSource lineups, CTunerFeed& terrestrial, CTunerFeed& satellite,
         CGuideStore& guide, const CRouteTable& routes, std::string version, CEventLog& log);
    ~CApi();
    CApi(const CApi&) = delete;
    CApi& operator=(const CApi&) = delete;

    // Adds the API's routes (the main port's only).
    void AddRoutes(CRouteTable& routes);
    void Start();
    // Ends the events streams and the events thread.
    void Stop();

    // The JSON error, for requests under /api/ that no route answers.
    static void AnswerError(CHttpConnection& c, int code, const std::string& reason, const HttpFields& extra = {});
    static bool IsApiPath(const std::string& path);

private:
    using Params = CRouteParams;
    void Docs(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Status(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Version(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Tuners(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Tuner(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Channels(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Channel(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ChannelServices(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ChannelService(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ChannelStream(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ChannelServiceStream(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Services(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Service(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Logo(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ServiceStream(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Programs(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Program(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void ProgramStream(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void Events(const CHttpRequest& req, CHttpConnection& c, const Params& p);
    void EventsStream(const CHttpRequest& req, CHttpConnection& c, const Params& p);

    // A service entry of the lineups, with its kind.
    struct Found {
        const CLineupEntry* entry = nullptr;
        bool terrestrial = true;
    };
    // The channel a path names ({type}, {channel}); null, with the error answered, when none.
    const CListedChannel* ChannelOf(CHttpConnection& c, const Params& p, bool& terrestrial) const;
    // The service with that API id among the lineups'.
    static Found ServiceById(const CLineups& lineups, uint64_t id);
    static Found ServiceOf(const CLineups& lineups, uint16_t networkId, uint16_t serviceId);
    nlohmann::json ServicesOn(const CLineups& lineups, const CListedChannel& channel, bool terrestrial) const;
    CTunerShape Shape(int index) const;
    nlohmann::json TunerEvent(int index);
    // Starts a stream for the request, with its priority (400 when the header is not a number).
    void Stream(const CHttpRequest& req, CHttpConnection& c, bool terrestrial,
                std::vector<const CListedChannel*> sources, uint16_t service,
                const std::optional<tstables::EventKey>& programme = std::nullopt);
    CTunerFeed& Feed(bool terrestrial) { return terrestrial ? terrestrial_ : satellite_; }

    void EventsMain();
    void PublishServices();
    void PublishPrograms(bool sweep);

    const CChannelListing& listing_;
    const LineupsSource lineups_;
    CTunerFeed& terrestrial_;
    CTunerFeed& satellite_;
    CGuideStore& guide_;
    const CRouteTable& routes_;
    const std::string version_;
    CEventLog& log_;
    CApiEvents events_;

    // The events thread's.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool tunerChanged_[2] = {false, false};
    std::shared_ptr<const CLineups> publishedLineups_;
    std::map<uint64_t, std::string> services_;  // id to the JSON last published
    std::map<uint64_t, size_t> programs_;       // id to the hash of the JSON last published
    std::thread thread_;
};

// The priority a request asks for: X-Mirakurun-Priority, absent 0; false
// when it is not a whole number.
bool RequestPriority(const CHttpRequest& req, int& priority);
