// What tsserve's console tells it, and what tsserve asks of its console.
//
// Ctrl+C and Ctrl+Break end tsserve in its own time. Closing the console
// window, logging off and shutting down end the process as soon as the
// handler returns (and Windows ends it anyway a few seconds on), so for those
// the handler waits until the main thread says that what must outlive the
// process (the guide, the scans) is saved, kSaveWaitMs at most.
//
// QuickEdit, on by default, lets a click in the window start a selection that
// stops all output until it ends. tsserve's output never holds it up (a
// thread of CEventLog's writes it), but a window that seems to hang is no
// better: QuickEdit is turned off while tsserve runs in a console of its own
// (started from Explorer, say), and put back as it was when tsserve ends. In a
// console tsserve shares (started from a command prompt) it is the user's
// setting and stays.
#pragma once
#include "common/WinHandle.h"

#include <windows.h>

class CConsoleEvents {
public:
    // Installs the handler; one object at a time. saveWaitMs: how long an
    // ending waits for Saved().
    explicit CConsoleEvents(DWORD saveWaitMs = kSaveWaitMs);
    ~CConsoleEvents();
    CConsoleEvents(const CConsoleEvents&) = delete;
    CConsoleEvents& operator=(const CConsoleEvents&) = delete;

    // Set by any of the events: tsserve is to end.
    HANDLE StopEvent() const { return stop_.Get(); }
    // What an ending must keep is saved: a handler waiting for it returns.
    void Saved() { SetEvent(saved_.Get()); }
    // The handler itself, as Windows calls it on a thread of its own.
    BOOL OnEvent(DWORD type);
    // Whether QuickEdit was turned off.
    bool QuickEditOff() const { return quickEditOff_; }

    // CTRL_CLOSE_EVENT ends the process 5 s after it comes.
    static constexpr DWORD kSaveWaitMs = 4000;

private:
    static BOOL WINAPI Handler(DWORD type);

    const DWORD saveWaitMs_;
    CHandle stop_, saved_;
    DWORD inputMode_ = 0;
    bool quickEditOff_ = false;
};
