// A viewer's stream as its HTTP answer's body: the viewer's queue taken in
// turn, waiting for the tune if the head went out before it, and watching the
// viewer's connection while no data comes, so that a departure shows at once.
// When the body ends (or the connection does), the viewer leaves its feed.
#pragma once
#include "http/CHttpConnection.h"
#include "CViewer.h"

#include <memory>

class CEventLog;
class CTunerFeed;

class CViewerStream : public IHttpStream {
public:
    CViewerStream(CTunerFeed& feed, std::shared_ptr<CViewer> viewer, const CHttpPeer& peer, CEventLog& log);
    ~CViewerStream() override;
    size_t Read(uint8_t* data, size_t max) override;

private:
    // Waits for the tune to bring data; false when the stream is to end.
    bool WaitStarted();

    CTunerFeed& feed_;
    const std::shared_ptr<CViewer> viewer_;
    const CHttpPeer peer_;
    CEventLog& log_;
    bool started_ = false;
    ChunkPtr hold_;  // the message being sent, and what of it is left
    const uint8_t* at_ = nullptr;
    size_t left_ = 0;
};
