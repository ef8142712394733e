#include "CConnectionBudget.h"

#include <windows.h>

namespace {
constexpr DWORD kCheckMs = 250;
constexpr unsigned long long kGraceMs = 1000;  // a connection younger than this is not cut for a newcomer
}  // namespace

CConnectionBudget::~CConnectionBudget()
{
    Stop();
}

void CConnectionBudget::Start()
{
    thread_ = std::thread(&CConnectionBudget::Main, this);
}

void CConnectionBudget::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CConnectionBudget::Cut(Entry& e)
{
    // The server sees the connection end (it reads as closed) and closes it;
    // the socket is its own until Closed, which waits for this lock.
    shutdown(e.socket, SD_BOTH);
    e.deadline = 0;
    e.cut = true;
}

template <class Match> bool CConnectionBudget::CutOldest(Match match)
{
    // A connection that has just come is not cut: a burst of a client's
    // requests (the system may hand them over faster than their heads are
    // read) is no attack, and what holds connections on purpose holds them
    // for longer.
    const unsigned long long latest = GetTickCount64() + limits_.requestMs - kGraceMs;
    Entry* oldest = nullptr;
    for (auto& [connection, e] : open_)
        if (!e.cut && e.deadline && e.deadline <= latest && match(e) && (!oldest || e.deadline < oldest->deadline))
            oldest = &e;
    if (oldest) Cut(*oldest);
    return oldest != nullptr;
}

bool CConnectionBudget::Admit(int port, const std::string& peer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0, waiting = 0, peerWaiting = 0;
    for (const auto& [c, e] : open_) {
        if (e.cut || e.port != port) continue;
        ++total;
        if (e.deadline) {
            ++waiting;
            if (e.peer == peer) ++peerWaiting;
        }
    }
    // A peer's own waiting connections make room for its newcomer first:
    // one peer's idle or trickling connections never cost others theirs.
    const auto ownPeer = [&](const Entry& e) { return e.port == port && e.peer == peer; };
    if (peerWaiting >= limits_.peerWaiting && CutOldest(ownPeer)) {
        --total;
        --waiting;
    }
    if ((waiting >= limits_.waiting || total >= limits_.connections) &&
        CutOldest([port](const Entry& e) { return e.port == port; }))
        --total;
    return total < limits_.connections;
}

void CConnectionBudget::Opened(const void* connection, SOCKET socket, int port, const std::string& peer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_[connection] = {socket, port, peer, GetTickCount64() + limits_.requestMs};
}

void CConnectionBudget::Read(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(connection);
    if (it != open_.end()) it->second.deadline = 0;
}

void CConnectionBudget::Answered(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(connection);
    if (it != open_.end() && !it->second.cut) it->second.deadline = GetTickCount64() + limits_.requestMs;
}

bool CConnectionBudget::Stream(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(connection);
    if (it == open_.end()) return true;
    Entry& self = it->second;
    size_t streams = 0, peerStreams = 0;
    for (const auto& [c, e] : open_) {
        if (e.cut || !e.streaming || e.port != self.port) continue;
        ++streams;
        if (e.peer == self.peer) ++peerStreams;
    }
    if (streams >= limits_.streams || peerStreams >= limits_.peerStreams) return false;
    self.streaming = true;
    return true;
}

void CConnectionBudget::Closed(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(connection);
}

void CConnectionBudget::Main()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(kCheckMs));
        const unsigned long long now = GetTickCount64();
        for (auto& [connection, entry] : open_)
            if (!entry.cut && entry.deadline && now >= entry.deadline) Cut(entry);
    }
}
