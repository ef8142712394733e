// tsserve's console: one line per event, and a status line that a console
// shows in place (redirected output gets it every few seconds instead).
//
// A thread of its own writes them, from a bounded queue: a caller never waits
// for the console, which stops taking output while a user selects text in its
// window (QuickEdit), so that a line said with a lock held that streams need
// never stalls them. When kMaxQueued lines wait, further ones are dropped and
// counted, and the count is written once the console takes output again; the
// status line is not queued, only its latest text is kept.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>

class CEventLog {
public:
    // Where the writer puts its text: stdout by default.
    using Sink = std::function<void(const std::string& text)>;
    CEventLog();
    // console: draw the status line in place, as on a console.
    CEventLog(Sink sink, bool console);
    // Writes what waits, for kDrainMs at most.
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // A line with the time in front; the status line is drawn again below it.
    void Line(const std::string& text);
    void Status(const std::string& text);
    // Before the program ends: the status line is left behind.
    void Finish();

    static constexpr size_t kMaxQueued = 1000;
    static constexpr unsigned kDrainMs = 2000;

private:
    struct Shared;
    static void WriterMain(std::shared_ptr<Shared> shared);

    // Shared with the writer, which a console that never takes output again
    // may keep past the end of this object.
    std::shared_ptr<Shared> shared_;
    std::thread writer_;
};
