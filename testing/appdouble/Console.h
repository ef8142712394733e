// The app double's output, its arguments and its clock, without a C runtime.
#pragma once
#include "Kernel32.h"

// Writes to standard output (the test's file), at once.
void Print(const char* text);

// A line, written in one piece when it goes out of scope (threads print side
// by side); text past its room is cut.
class CLine {
public:
    CLine() = default;
    ~CLine();
    CLine(const CLine&) = delete;
    CLine& operator=(const CLine&) = delete;
    CLine& operator<<(const char* text);
    CLine& operator<<(const wchar_t* text);  // ASCII; others as '?'
    CLine& operator<<(uint32_t value);

private:
    char text_[512] = {};
};

// The arguments after the program's name: at most kMaxArguments, each at
// most kArgumentLength units, quotes taken off.
constexpr uint32_t kMaxArguments = 8;
constexpr uint32_t kArgumentLength = 260;
struct CArguments {
    wchar_t text[kMaxArguments][kArgumentLength];
    uint32_t count;
};
void ReadArguments(CArguments& out);
bool SameText(const wchar_t* a, const wchar_t* b);
uint32_t ParseNumber(const wchar_t* text);

inline uint32_t MsSince(uint64_t start)
{
    return static_cast<uint32_t>(GetTickCount64() - start);
}
