#include "CConnectionThreads.h"

#include <windows.h>

#include <system_error>
#include <thread>

namespace {

struct CRequestState {
    bool reading = false;
    size_t bytes = 0;
    ULONGLONG since = 0;
};
thread_local CRequestState t_request;

}  // namespace

void CRequestBudget::StartRequest()
{
    t_request = {true, 0, GetTickCount64()};
}

void CRequestBudget::RequestRead()
{
    t_request.reading = false;
}

int RequestRecv(SOCKET socket, char* buffer, int size, int flags)
{
    CRequestState& r = t_request;
    if (r.reading && (r.bytes >= CRequestBudget::kMaxBytes || GetTickCount64() - r.since > CRequestBudget::kMaxMs)) {
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    // A request never needs more than what is left of its budget.
    if (r.reading && static_cast<size_t>(size) > CRequestBudget::kMaxBytes - r.bytes)
        size = static_cast<int>(CRequestBudget::kMaxBytes - r.bytes);
    const int n = ::recv(socket, buffer, size, flags);
    if (n > 0 && r.reading) r.bytes += static_cast<size_t>(n);
    return n;
}

void CConnectionThreads::enqueue(std::function<void()> job)
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
        CRequestBudget::StartRequest();
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

void CConnectionThreads::shutdown()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return running_ == 0; });
    // Left only if no thread could be started at all; their sockets go with the process.
    waiting_.clear();
}
