// One viewer of a tuner's stream: whether its tune has begun, and a bounded
// queue of the data messages it has yet to be sent. The messages themselves
// are shared by all viewers.
#pragma once
#include <windows.h>

#include "StreamTally.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Why a viewer could not have its stream.
enum class JoinError {
    None,
    Busy,         // the kind is in use on another channel
    NotRunning,   // TunerHost is not running
    NotServed,    // TunerHost serves no tuner of this kind
    TunerFailed,  // the tuner did not open, or whatever answered is not TunerHost
    TunerBusy,    // another client of TunerHost holds the tuner
    NoData,       // tuned, but no stream came
    Stopping,
};

// A data message as it came from TunerHost, and when.
struct CChunk {
    std::vector<uint8_t> bytes;
    ULONGLONG receivedMs = 0;
};
using ChunkPtr = std::shared_ptr<const CChunk>;

// Who asks for a stream, as a tuner's users are listed: its priority (the
// API's X-Mirakurun-Priority; 0 for the playlist's and the network tuners'
// viewers), its User-Agent and what it asked for.
struct CStreamUser {
    int priority = 0;
    std::string agent;
    std::string url;
};

class CViewer {
public:
    // gone: whether the viewer's connection has closed; asked by the feed
    // before it turns another channel away.
    CViewer(std::string peer, std::string channel, std::function<bool()> gone, CStreamUser user = {})
        : peer_(std::move(peer)), channel_(std::move(channel)), gone_(std::move(gone)), user_(std::move(user))
    {
    }

    // From the feed: the tune brought data, the stream begins; or it failed.
    void Start();
    void Fail(JoinError error, const std::string& reason);
    enum class Phase { Waiting, Started, Failed };
    // Waits up to ms for the tune's outcome; on Failed, why.
    Phase WaitStart(DWORD ms, JoinError& error, std::string& reason);
    bool Started() const;
    bool Gone() const { return gone_ && gone_(); }

    // From the feed: queues a message. False when the viewer has fallen more
    // than maxLagMs behind or queued more than maxBytes; it is then ended.
    bool Push(const ChunkPtr& chunk, ULONGLONG maxLagMs, size_t maxBytes);
    // Ends the viewer's stream with a reason (empty: it left by itself).
    void End(const std::string& reason);

    enum class Next { Data, Idle, Ended };
    // Waits up to ms for bytes to send. The first bytes a viewer gets start
    // at a packet boundary.
    Next Take(const uint8_t*& data, size_t& size, ChunkPtr& hold, DWORD ms);

    const std::string& Peer() const { return peer_; }
    const std::string& Channel() const { return channel_; }
    const CStreamUser& User() const { return user_; }
    std::string EndReason() const;
    uint64_t SentBytes() const { return sent_; }
    // Bytes handed to the connection: counted, and tallied per PID.
    void AddSent(const uint8_t* data, size_t n)
    {
        sent_ += n;
        tally_.Feed(data, n);
    }
    const CStreamTally& Tally() const { return tally_; }
    size_t QueuedBytes() const;
    ULONGLONG JoinedMs() const { return joinedMs_; }

private:
    const std::string peer_;
    const std::string channel_;
    const std::function<bool()> gone_;
    const CStreamUser user_;
    const ULONGLONG joinedMs_ = GetTickCount64();
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ChunkPtr> queue_;
    size_t queuedBytes_ = 0;
    bool synced_ = false;
    bool started_ = false;
    bool ended_ = false;
    JoinError error_ = JoinError::Stopping;  // why a viewer ended before its start
    std::string endReason_;
    std::atomic<uint64_t> sent_{0};
    CStreamTally tally_;
};

// Where the first whole packet starts in a piece of stream: a sync byte
// followed by more at 188-byte steps, as far as the piece shows. size when
// there is none.
size_t FindPacketStart(const uint8_t* data, size_t size);
