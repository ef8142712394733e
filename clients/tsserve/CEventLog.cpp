#include "CEventLog.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

constexpr unsigned long long kRedirectedStatusMs = 10000;

bool StdoutIsConsole()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void WriteStdout(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string Clock()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u ", t.wHour, t.wMinute, t.wSecond);
    return text;
}

}  // namespace

struct CEventLog::Shared {
    Shared(Sink s, bool c) : sink(std::move(s)), console(c) {}

    // The writer's: the text of what it took from the queue, with the
    // status line taken away before it and drawn again after it.
    std::string Compose(const std::deque<std::string>& lines, size_t lost, const std::string* status, bool end)
    {
        std::string out;
        if (console && !shown.empty()) {
            out += '\r';
            out.append(shown.size(), ' ');
            out += '\r';
        }
        for (const std::string& line : lines) out += line + "\n";
        if (lost)
            out += Clock() + "(" + std::to_string(lost) + " line" + (lost == 1 ? "" : "s") +
                   " left out: the console took no output for a while)\n";
        if (status) shown = *status;
        if (console) out += shown;
        if (end) {
            if (console && !shown.empty()) out += "\n";
            shown.clear();
        }
        return out;
    }

    const Sink sink;
    const bool console;
    std::mutex mutex;
    std::condition_variable wake, done;
    std::deque<std::string> queue;
    size_t dropped = 0;
    std::string status;  // the latest status text, waiting to be drawn
    bool statusWaits = false;
    bool finish = false;  // Finish() waits to be written
    bool stop = false;
    bool exited = false;
    unsigned long long lastStatusMs = 0;
    std::string shown;  // the writer's: the status line on the console now
};

CEventLog::CEventLog() : CEventLog(WriteStdout, StdoutIsConsole())
{
    if (shared_->console) SetConsoleOutputCP(CP_UTF8);
}

CEventLog::CEventLog(Sink sink, bool console)
    : shared_(std::make_shared<Shared>(std::move(sink), console)), writer_(&CEventLog::WriterMain, shared_)
{
}

CEventLog::~CEventLog()
{
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    const bool drained =
        shared_->done.wait_for(lock, std::chrono::milliseconds(kDrainMs), [this] { return shared_->exited; });
    lock.unlock();
    if (drained)
        writer_.join();
    else
        writer_.detach();  // held by the console; the process ends without it
}

void CEventLog::WriterMain(std::shared_ptr<Shared> s)
{
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        s->wake.wait(lock, [&] { return s->stop || !s->queue.empty() || s->statusWaits || s->finish; });
        if (s->queue.empty() && !s->statusWaits && !s->finish) break;
        const std::deque<std::string> lines = std::move(s->queue);
        s->queue.clear();
        const size_t lost = s->dropped;
        const std::string status = s->status;
        const bool newStatus = s->statusWaits, end = s->finish;
        s->dropped = 0;
        s->statusWaits = s->finish = false;
        lock.unlock();
        const std::string text = s->Compose(lines, lost, newStatus ? &status : nullptr, end);
        if (!text.empty()) s->sink(text);
        lock.lock();
    }
    s->exited = true;
    s->done.notify_all();
}

void CEventLog::Line(const std::string& text)
{
    std::string line = Clock() + text;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->queue.size() >= kMaxQueued) {
        ++shared_->dropped;
        return;
    }
    shared_->queue.push_back(std::move(line));
    shared_->wake.notify_one();
}

void CEventLog::Status(const std::string& text)
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->console) {
        const unsigned long long now = GetTickCount64();
        if (shared_->lastStatusMs != 0 && now - shared_->lastStatusMs < kRedirectedStatusMs) return;
        shared_->lastStatusMs = now;
        if (shared_->queue.size() >= kMaxQueued) {
            ++shared_->dropped;
            return;
        }
        shared_->queue.push_back("status: " + text);
    } else {
        shared_->status = text;
        shared_->statusWaits = true;
    }
    shared_->wake.notify_one();
}

void CEventLog::Finish()
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->finish = true;
    shared_->wake.notify_one();
}
