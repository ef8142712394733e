// The API's events: what changed among programmes, services and tuners, as
// {resource, type, data, time}. The latest are held for getEvents; each
// listener of the events stream gets those that come after it asked, framed
// as the client library's readers take them: "[" and a newline first, then
// each event as JSON followed by a newline, a comma and a newline; the array
// is never closed. A listener that falls far behind (a front-end that stops
// reading) is ended rather than held in memory. Safe for several threads.
#pragma once
#include "http/CHttpConnection.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CApiEvents {
public:
    // resource: "program", "service" or "tuner"; type: "create", "update" or "remove".
    void Publish(const std::string& resource, const std::string& type, nlohmann::json data);
    // The events held, oldest first, as a JSON array (made again only after
    // a change).
    std::string Held() const;
    // The body of an events stream for one listener; empty filters take every
    // resource or type. It ends when the peer leaves or the server stops.
    std::unique_ptr<IHttpStream> Listen(const std::string& resource, const std::string& type, const CHttpPeer& peer);
    // Ends every listener's stream.
    void Shutdown();

    // Events kept for getEvents, the latest, as many as fit both bounds (a
    // tuner's event carries its whole list of users).
    static constexpr size_t kHeld = 1000;
    static constexpr size_t kHeldBytes = 1u << 20;
    static constexpr size_t kListenerBytes = 16u << 20;   // a listener further behind is ended

    struct Listener {
        std::string resource, type;
        std::deque<std::string> queue;  // framed events not yet sent
        size_t queued = 0;
        bool ended = false;
    };

private:
    friend class CEventsStream;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::string> held_;  // each event's JSON
    size_t heldBytes_ = 0;
    mutable std::string heldArray_;  // held_ as Held gives it; empty: to be made
    std::vector<std::shared_ptr<Listener>> listeners_;
    bool shutdown_ = false;
};
