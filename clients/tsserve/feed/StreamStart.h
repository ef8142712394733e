// A stream's request answered: the viewer joins its kind's feed with its
// priority (CTunerFeed::Judge: a request that may not take the tuner waits
// up to 3 seconds for it to be freed, then is refused), on the first of the
// channels that carry what it asks for that can be had; its answer's head
// goes out once the tune brings data (or after 4 seconds, whichever is
// sooner) and, for a held body, once that says it may, and its body is the
// viewer's queue. A request that cannot be had
// is answered with its status, in the form its page speaks: the playlist's
// streams (409 for a busy tuner), a network tuner's lineup (503 with
// HDHomeRun's error 805) or the recorders' API (JSON; 503).
#pragma once
#include "CTunerFeed.h"
#include "http/CHttpConnection.h"
#include "http/HttpRequest.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CEventLog;

enum class RefusalForm { Page, Lineup, Api };

// A stream's body that holds back its answer's head until its first bytes
// can follow at once; the tuner stays its viewer's meanwhile.
class IHeldStream : public IHttpStream {
public:
    enum class Hold { Ready, Left, Refused };
    // Ready: the head may go out. Left: the peer left or the server stops.
    // Refused: the request is answered with the error and reason given.
    virtual Hold Wait(JoinError& error, std::string& reason) = 0;
};

struct CStreamAsk {
    // The channels that carry it, tried in turn (CLineup::Sources).
    std::vector<const CListedChannel*> sources;
    uint16_t service = 0;  // the one service to send; 0 for the whole stream
    CStreamUser user;
    RefusalForm form = RefusalForm::Page;
    HttpFields fields;  // besides the stream's own; "X-Mirakurun-Tuner-User-ID" with the API
    // The answer's body made of the viewer's stream, whose head waits for
    // it (a programme's, for its start); null: the viewer's stream as it comes.
    std::function<std::unique_ptr<IHeldStream>(CTunerFeed&, std::shared_ptr<CViewer>, const CHttpPeer&)> body;
};

// "192.168.1.7:50123", "[::1]:50123": the request's peer, which is also
// its id among the tuner's users.
std::string PeerOf(const CHttpRequest& req);
// The status a refusal is answered with, in the form given.
int RefusalStatus(JoinError error, RefusalForm form);

void AnswerStream(CTunerFeed& feed, const CHttpRequest& req, CHttpConnection& c, const CStreamAsk& ask,
                  CEventLog& log);
