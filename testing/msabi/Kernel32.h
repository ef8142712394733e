// The few kernel32 types and functions that the test plug-ins use. They are
// built without a C runtime or the system headers, so they declare what they
// call themselves; the names and signatures are kernel32's own.
#pragma once
#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef unsigned long DWORD;
typedef void* HANDLE;
typedef struct HINSTANCE__* HMODULE;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        long HighPart;
    } u;
    long long QuadPart;
};

struct SYSTEMTIME {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct SRWLOCK {
    void* Ptr;
};

#define WINAPI __stdcall
#define KERNEL32_API extern "C" __declspec(dllimport)

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAX_PATH = 260;
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_RELEASE = 0x8000;
constexpr DWORD PAGE_READWRITE = 0x04;
// A macro, as in the system headers: a constant cannot hold a cast to a pointer,
// and a variable would want a C runtime to initialise it.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

KERNEL32_API DWORD WINAPI GetModuleFileNameW(HMODULE module, wchar_t* path, DWORD size);
KERNEL32_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE module);
KERNEL32_API unsigned WINAPI GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, int defaultValue,
                                                   const wchar_t* file);
KERNEL32_API DWORD WINAPI GetPrivateProfileStringW(const wchar_t* section, const wchar_t* key,
                                                   const wchar_t* defaultValue, wchar_t* out, DWORD size,
                                                   const wchar_t* file);
KERNEL32_API HANDLE WINAPI CreateFileW(const wchar_t* name, DWORD access, DWORD share, void* security,
                                       DWORD disposition, DWORD flags, HANDLE templateFile);
KERNEL32_API BOOL WINAPI ReadFile(HANDLE file, void* data, DWORD size, DWORD* read, void* overlapped);
KERNEL32_API BOOL WINAPI GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
KERNEL32_API BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
KERNEL32_API BOOL WINAPI CloseHandle(HANDLE handle);
KERNEL32_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
KERNEL32_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
KERNEL32_API void WINAPI Sleep(DWORD ms);
KERNEL32_API void WINAPI GetSystemTime(SYSTEMTIME* time);
KERNEL32_API HANDLE WINAPI CreateThread(void* security, size_t stackSize, DWORD(WINAPI* start)(void*), void* param,
                                        DWORD flags, DWORD* id);
KERNEL32_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms);
KERNEL32_API void WINAPI AcquireSRWLockExclusive(SRWLOCK* lock);
KERNEL32_API void WINAPI ReleaseSRWLockExclusive(SRWLOCK* lock);
KERNEL32_API HANDLE WINAPI GetProcessHeap();
KERNEL32_API void* WINAPI HeapAlloc(HANDLE heap, DWORD flags, size_t size);
KERNEL32_API void* WINAPI HeapReAlloc(HANDLE heap, DWORD flags, void* block, size_t size);
KERNEL32_API BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void* block);
KERNEL32_API void WINAPI RaiseException(DWORD code, DWORD flags, DWORD count, const uintptr_t* arguments);
KERNEL32_API void* WINAPI VirtualAlloc(void* address, size_t size, DWORD type, DWORD protect);
KERNEL32_API BOOL WINAPI VirtualFree(void* address, size_t size, DWORD type);
