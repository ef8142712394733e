#include "CConsoleEvents.h"

#include <atomic>

namespace {

std::atomic<CConsoleEvents*> g_events{nullptr};

// No other process (a command prompt) shares the console.
bool OwnConsole()
{
    DWORD ids[2];
    return GetConsoleProcessList(ids, 2) == 1;
}

}  // namespace

CConsoleEvents::CConsoleEvents(DWORD saveWaitMs)
    : saveWaitMs_(saveWaitMs),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      saved_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    g_events = this;
    SetConsoleCtrlHandler(Handler, TRUE);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(input, &inputMode_) && (inputMode_ & ENABLE_QUICK_EDIT_MODE) && OwnConsole())
        quickEditOff_ = SetConsoleMode(input, (inputMode_ | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE) != 0;
}

CConsoleEvents::~CConsoleEvents()
{
    if (quickEditOff_) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), inputMode_ | ENABLE_EXTENDED_FLAGS);
    SetConsoleCtrlHandler(Handler, FALSE);
    g_events = nullptr;
}

BOOL WINAPI CConsoleEvents::Handler(DWORD type)
{
    CConsoleEvents* events = g_events;
    return events ? events->OnEvent(type) : FALSE;
}

BOOL CConsoleEvents::OnEvent(DWORD type)
{
    SetEvent(stop_.Get());
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(saved_.Get(), saveWaitMs_);
    return TRUE;
}
