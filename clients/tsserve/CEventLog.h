// tsserve's console: one line per event, and a status line that a console
// shows in place (redirected output gets it every few seconds instead).
#pragma once
#include <mutex>
#include <string>

class CEventLog {
public:
    CEventLog();
    // A line with the time in front; the status line is drawn again below it.
    void Line(const std::string& text);
    void Status(const std::string& text);
    // Before the program ends: the status line is left behind.
    void Finish();

private:
    void ClearStatus();

    std::mutex mutex_;
    bool console_ = false;
    std::string status_;
    unsigned long long lastStatusMs_ = 0;
};
