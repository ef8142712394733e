#include "StreamStart.h"

#include "CViewerStream.h"
#include "base/CEventLog.h"

#include <nlohmann/json.hpp>

namespace {

constexpr DWORD kWaitSliceMs = 100;          // how often a waiting viewer's connection is looked at
constexpr ULONGLONG kHeadDeadlineMs = 4000;  // a stream's head goes out by then, tune or not
// How long a request that may not take the tuner waits for it to be freed
// (a recording at its end, a player changing channel) before it is refused.
constexpr DWORD kFreeWaitMs = 3000;

void Refuse(const CHttpRequest& req, CHttpConnection& c, JoinError error, const std::string& reason,
            const CStreamAsk& ask, const CTunerFeed& feed, const CListedChannel& channel, CEventLog& log)
{
    const int status = RefusalStatus(error, ask.form);
    HttpFields extra;
    if (error == JoinError::Busy || error == JoinError::TunerBusy) {
        // What media servers look for in a network tuner's answer.
        if (ask.form == RefusalForm::Lineup) extra.emplace_back("X-HDHomeRun-Error", "805 All Tuners In Use");
        log.Line(std::string(feed.KindName()) + ": refused " + PeerOf(req) + " for " + channel.argument + ": " +
                 reason);
    }
    if (ask.form == RefusalForm::Api)
        return c.Send(status, "application/json",
                      nlohmann::json{{"code", status}, {"reason", reason}, {"errors", nlohmann::json::array()}}.dump(),
                      extra);
    c.Send(status, "text/plain; charset=utf-8", reason + "\n", extra);
}

// False, with nothing answered, when the channel cannot be had and
// `another` says another channel may serve the request.
bool StreamFrom(CTunerFeed& feed, const CHttpRequest& req, CHttpConnection& c, const CStreamAsk& ask,
                const CListedChannel& channel, bool another, CEventLog& log)
{
    JoinError error = JoinError::None;
    std::string reason;
    // A channel that is not to be had (tuned to another, or it failed to
    // tune) gives way to another transmitter of the service, while nothing
    // has been answered yet.
    const auto refuse = [&](JoinError e, const std::string& why) {
        if (another && (e == JoinError::Busy || e == JoinError::TunerFailed || e == JoinError::NoData)) {
            log.Line(std::string(feed.KindName()) + ": " + channel.argument + " for " + PeerOf(req) + ": " + why +
                     "; trying the service's next channel");
            return false;
        }
        Refuse(req, c, e, why, ask, feed, channel, log);
        return true;
    };
    // HEAD gets what GET would, short of the tune itself.
    if (!feed.MayJoin(channel, error, reason, ask.user.priority, req.method == "HEAD" ? 0 : kFreeWaitMs))
        return refuse(error, reason);
    if (!IsTunerHostRunning()) return refuse(JoinError::NotRunning, "TunerHost is not running");
    // A live stream has neither a length nor ranges.
    HttpFields fields{{"Cache-Control", "no-cache"}, {"Accept-Ranges", "none"}};
    fields.insert(fields.end(), ask.fields.begin(), ask.fields.end());
    const char* type = ask.form == RefusalForm::Api ? "video/MP2T" : "video/mp2t";
    if (req.method == "HEAD") {
        c.StartStream(type, fields, nullptr);
        return true;
    }
    const CHttpPeer watch = c.Peer();
    std::shared_ptr<CViewer> viewer =
        feed.Join(channel, ask.service, PeerOf(req), [watch] { return watch.Gone(); }, error, reason, ask.user);
    if (!viewer) return refuse(error, reason);

    // The tune may take longer than clients wait for an answer: past the
    // deadline the head goes out, and the stream's body waits on (a tune
    // that fails after it ends the stream without data).
    for (;;) {
        const CViewer::Phase phase = viewer->WaitStart(kWaitSliceMs, error, reason);
        if (phase == CViewer::Phase::Started) break;
        if (phase == CViewer::Phase::Failed) {
            feed.Leave(viewer);
            return refuse(error, reason);
        }
        if (c.Gone() || c.Stopping()) {
            feed.Leave(viewer);
            return true;
        }
        if (GetTickCount64() - req.receivedMs < kHeadDeadlineMs) continue;
        if (!another) break;
        // TunerHost answers a tune that failed as one that worked: the
        // channel may be out of reach, and another carries the service.
        feed.Leave(viewer);
        return refuse(JoinError::NoData, "no data within " + std::to_string(kHeadDeadlineMs / 1000) + " s");
    }
    if (!ask.body) {
        c.StartStream(type, fields, std::make_unique<CViewerStream>(feed, viewer, watch, log));
        return true;
    }
    std::unique_ptr<IHeldStream> body = ask.body(feed, viewer, watch);  // it leaves the feed when it goes
    c.IdleTimeout(false);
    const IHeldStream::Hold hold = body->Wait(error, reason);
    c.IdleTimeout(true);
    if (hold == IHeldStream::Hold::Refused) Refuse(req, c, error, reason, ask, feed, channel, log);
    else if (hold == IHeldStream::Hold::Ready) c.StartStream(type, fields, std::move(body));
    return true;
}

}  // namespace

std::string PeerOf(const CHttpRequest& req)
{
    const bool v6 = req.remoteAddr.find(':') != std::string::npos;
    return (v6 ? "[" + req.remoteAddr + "]" : req.remoteAddr) + ":" + std::to_string(req.remotePort);
}

int RefusalStatus(JoinError error, RefusalForm form)
{
    switch (error) {
    case JoinError::Busy:
    case JoinError::TunerBusy: return form == RefusalForm::Page ? 409 : 503;
    case JoinError::NotRunning: return 503;
    case JoinError::NotServed: return 501;
    case JoinError::TunerFailed: return 502;
    case JoinError::NoData: return 504;
    case JoinError::Stopping: return 503;
    case JoinError::None: break;
    }
    return 502;
}

void AnswerStream(CTunerFeed& feed, const CHttpRequest& req, CHttpConnection& c, const CStreamAsk& ask,
                  CEventLog& log)
{
    for (size_t i = 0; i < ask.sources.size(); ++i)
        if (StreamFrom(feed, req, c, ask, *ask.sources[i], i + 1 < ask.sources.size(), log)) return;
}
