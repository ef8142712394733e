// The HTTP server's connections, each on a thread of its own: a stream holds
// its connection for as long as the viewer watches, so a fixed pool would
// turn viewers away. Past the limit, connections wait for a thread.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class CConnectionThreads {
public:
    explicit CConnectionThreads(size_t maxThreads) : maxThreads_(maxThreads) {}
    void Enqueue(std::function<void()> job);
    // Waits for every connection to end.
    void Shutdown();

private:
    void Run(std::function<void()> job);

    const size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> waiting_;
    size_t running_ = 0;
};
