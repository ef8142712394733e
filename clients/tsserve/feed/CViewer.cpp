#include "CViewer.h"

#include <cstdio>

namespace {
constexpr size_t kPacket = 188;
constexpr int kSyncsToTrust = 5;
}  // namespace

size_t FindPacketStart(const uint8_t* data, size_t size)
{
    for (size_t at = 0; at < size && at < kPacket; ++at) {
        int seen = 0;
        size_t p = at;
        while (p < size && data[p] == 0x47 && seen < kSyncsToTrust) {
            ++seen;
            p += kPacket;
        }
        // Enough sync bytes in a row, or as many as the piece holds.
        if (seen == kSyncsToTrust || (seen > 0 && p >= size)) return at;
    }
    return size;
}

bool CViewer::Push(const ChunkPtr& chunk, ULONGLONG maxLagMs, size_t maxBytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return false;
    const bool behind = !queue_.empty() && chunk->receivedMs - queue_.front()->receivedMs > maxLagMs;
    if (behind || queuedBytes_ + chunk->bytes.size() > maxBytes) {
        ended_ = true;
        char reason[64];
        if (behind) std::snprintf(reason, sizeof reason, "fell more than %.1f s behind", maxLagMs / 1000.0);
        else std::snprintf(reason, sizeof reason, "queued more than %zu MB", maxBytes >> 20);
        endReason_ = reason;
        queue_.clear();
        queuedBytes_ = 0;
        ready_.notify_all();
        return false;
    }
    queue_.push_back(chunk);
    queuedBytes_ += chunk->bytes.size();
    ready_.notify_all();
    return true;
}

void CViewer::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
    ready_.notify_all();
}

void CViewer::Fail(JoinError error, const std::string& reason)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    error_ = error;
    endReason_ = reason;
    ready_.notify_all();
}

CViewer::Phase CViewer::WaitStart(DWORD ms, JoinError& error, std::string& reason)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return started_ || ended_; });
    if (started_) return Phase::Started;
    if (!ended_) return Phase::Waiting;
    error = error_;
    reason = endReason_;
    return Phase::Failed;
}

bool CViewer::Started() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

void CViewer::End(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    endReason_ = reason;
    queue_.clear();
    queuedBytes_ = 0;
    ready_.notify_all();
}

CViewer::Next CViewer::Take(const uint8_t*& data, size_t& size, ChunkPtr& hold, DWORD ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_ || !queue_.empty(); });
    while (!ended_ && !queue_.empty()) {
        hold = queue_.front();
        queue_.pop_front();
        queuedBytes_ -= hold->bytes.size();
        size_t from = 0;
        if (!synced_) {
            from = FindPacketStart(hold->bytes.data(), hold->bytes.size());
            if (from == hold->bytes.size()) continue;
            synced_ = true;
        }
        data = hold->bytes.data() + from;
        size = hold->bytes.size() - from;
        return Next::Data;
    }
    return ended_ ? Next::Ended : Next::Idle;
}

std::string CViewer::EndReason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return endReason_;
}

size_t CViewer::QueuedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queuedBytes_;
}
