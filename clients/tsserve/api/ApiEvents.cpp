#include "ApiEvents.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {
constexpr DWORD kWaitSliceMs = 100;  // how often a waiting listener's connection is looked at
}  // namespace

// One listener's stream: the opening "[", then its queue as it fills.
class CEventsStream : public IHttpStream {
public:
    CEventsStream(CApiEvents& events, std::shared_ptr<CApiEvents::Listener> listener, const CHttpPeer& peer)
        : events_(events), listener_(std::move(listener)), peer_(peer), pending_("[\n")
    {
    }
    ~CEventsStream() override
    {
        std::lock_guard<std::mutex> lock(events_.mutex_);
        auto& all = events_.listeners_;
        all.erase(std::remove(all.begin(), all.end(), listener_), all.end());
    }

    size_t Read(uint8_t* data, size_t max) override
    {
        while (at_ == pending_.size()) {
            std::unique_lock<std::mutex> lock(events_.mutex_);
            events_.ready_.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs),
                                    [this] { return listener_->ended || !listener_->queue.empty(); });
            if (listener_->ended) return 0;
            if (listener_->queue.empty()) {
                lock.unlock();
                // A front-end that leaves is seen here, not at the next event.
                if (peer_.Gone() || peer_.Stopping()) return 0;
                continue;
            }
            pending_ = std::move(listener_->queue.front());
            listener_->queue.pop_front();
            listener_->queued -= pending_.size();
            at_ = 0;
        }
        const size_t n = std::min(max, pending_.size() - at_);
        std::memcpy(data, pending_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    CApiEvents& events_;
    const std::shared_ptr<CApiEvents::Listener> listener_;
    const CHttpPeer peer_;
    std::string pending_;
    size_t at_ = 0;
};

void CApiEvents::Publish(const std::string& resource, const std::string& type, nlohmann::json data)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string text = nlohmann::json{{"resource", resource},
                                            {"type", type},
                                            {"data", std::move(data)},
                                            {"time", std::chrono::duration_cast<std::chrono::milliseconds>(now).count()}}
                                 .dump();
    std::string framed = text;
    framed.append("\n,\n");
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(text);
    heldBytes_ += text.size();
    while (held_.size() > kHeld || (heldBytes_ > kHeldBytes && held_.size() > 1)) {
        heldBytes_ -= held_.front().size();
        held_.pop_front();
    }
    heldArray_.clear();
    for (const auto& l : listeners_) {
        if (l->ended || (!l->resource.empty() && l->resource != resource) || (!l->type.empty() && l->type != type))
            continue;
        if (l->queued + framed.size() > kListenerBytes) {
            l->ended = true;
            continue;
        }
        l->queue.push_back(framed);
        l->queued += framed.size();
    }
    ready_.notify_all();
}

std::string CApiEvents::Held() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (heldArray_.empty()) {
        heldArray_.reserve(heldBytes_ + held_.size() + 2);
        heldArray_ += '[';
        for (const std::string& e : held_) {
            if (heldArray_.size() > 1) heldArray_ += ',';
            heldArray_ += e;
        }
        heldArray_ += ']';
    }
    return heldArray_;
}

std::unique_ptr<IHttpStream> CApiEvents::Listen(const std::string& resource, const std::string& type,
                                                const CHttpPeer& peer)
{
    auto listener = std::make_shared<Listener>();
    listener->resource = resource;
    listener->type = type;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener->ended = shutdown_;
        listeners_.push_back(listener);
    }
    return std::make_unique<CEventsStream>(*this, listener, peer);
}

void CApiEvents::Shutdown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
    for (const auto& l : listeners_) l->ended = true;
    ready_.notify_all();
}
