// The app double's output, its arguments and its clock, without a C runtime.
#pragma once
#include "Kernel32.h"

// Writes to standard output (the test's file), each call at once.
void Print(const char* text);
void Print(const wchar_t* text);  // ASCII only
void PrintNumber(uint32_t value);
// Print(a), PrintNumber(n), Print(b).
void PrintLine(const char* a, uint32_t n, const char* b = "\n");

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
