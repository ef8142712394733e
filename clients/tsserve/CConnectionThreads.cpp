#include "CConnectionThreads.h"

#include <system_error>
#include <thread>

void CConnectionThreads::Enqueue(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ >= maxThreads_) {
        waiting_.push_back(std::move(job));
        return;
    }
    ++running_;
    try {
        std::thread(&CConnectionThreads::Run, this, job).detach();
    } catch (const std::system_error&) {
        --running_;
        // No thread to be had: the connection waits for one that ends.
        waiting_.push_back(std::move(job));
    }
}

void CConnectionThreads::Run(std::function<void()> job)
{
    for (;;) {
        job();
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.empty()) {
            --running_;
            idle_.notify_all();
            return;
        }
        job = std::move(waiting_.front());
        waiting_.pop_front();
    }
}

void CConnectionThreads::Shutdown()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return running_ == 0; });
    // Left only if no thread could be started at all; the server closes their sockets.
    waiting_.clear();
}
