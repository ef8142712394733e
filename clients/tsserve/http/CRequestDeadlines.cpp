#include "CRequestDeadlines.h"

#include <windows.h>

namespace {
constexpr DWORD kCheckMs = 250;
}  // namespace

CRequestDeadlines::~CRequestDeadlines()
{
    Stop();
}

void CRequestDeadlines::Start()
{
    thread_ = std::thread(&CRequestDeadlines::Main, this);
}

void CRequestDeadlines::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void CRequestDeadlines::Opened(const void* connection, SOCKET socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_[connection] = {socket, GetTickCount64() + requestMs_};
}

void CRequestDeadlines::Read(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(connection);
    if (it != open_.end()) it->second.deadline = 0;
}

void CRequestDeadlines::Answered(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = open_.find(connection);
    if (it != open_.end()) it->second.deadline = GetTickCount64() + requestMs_;
}

void CRequestDeadlines::Closed(const void* connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(connection);
}

void CRequestDeadlines::Main()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(kCheckMs));
        const unsigned long long now = GetTickCount64();
        for (auto& [connection, entry] : open_) {
            if (!entry.deadline || now < entry.deadline) continue;
            // The server sees the connection end (it reads as closed) and
            // closes it; the socket is its own until Closed, which waits for
            // this lock.
            shutdown(entry.socket, SD_BOTH);
            entry.deadline = 0;
        }
    }
}
