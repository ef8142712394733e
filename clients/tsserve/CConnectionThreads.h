// The HTTP server's connections, each on a thread of its own: a stream holds
// its connection for as long as the viewer watches, so a fixed pool would
// turn viewers away. Past the limit, connections wait for a thread.
#pragma once
#include "HttpLib.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class CConnectionThreads : public httplib::TaskQueue {
public:
    explicit CConnectionThreads(size_t maxThreads) : maxThreads_(maxThreads) {}
    void enqueue(std::function<void()> job) override;
    // Waits for every connection to end.
    void shutdown() override;

private:
    void Run(std::function<void()> job);

    const size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> waiting_;
    size_t running_ = 0;
};
