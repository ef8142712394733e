#include "CEventLog.h"

#include <windows.h>

#include <cstdio>

namespace {
constexpr unsigned long long kRedirectedStatusMs = 10000;
}

CEventLog::CEventLog()
{
    DWORD mode = 0;
    console_ = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    if (console_) SetConsoleOutputCP(CP_UTF8);
}

void CEventLog::ClearStatus()
{
    if (console_ && !status_.empty()) std::printf("\r%*s\r", static_cast<int>(status_.size()), "");
}

void CEventLog::Line(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ClearStatus();
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::printf("%02u:%02u:%02u %s\n", t.wHour, t.wMinute, t.wSecond, text.c_str());
    if (console_) std::printf("%s", status_.c_str());
    std::fflush(stdout);
}

void CEventLog::Status(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (console_) {
        ClearStatus();
        status_ = text;
        std::printf("%s", status_.c_str());
    } else {
        const unsigned long long now = GetTickCount64();
        if (lastStatusMs_ != 0 && now - lastStatusMs_ < kRedirectedStatusMs) return;
        status_ = text;
        lastStatusMs_ = now;
        std::printf("status: %s\n", text.c_str());
    }
    std::fflush(stdout);
}

void CEventLog::Finish()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (console_ && !status_.empty()) std::printf("\n");
    status_.clear();
    std::fflush(stdout);
}
