// The few kernel32 types and functions that the modules built in Microsoft's
// ABI use: the client plug-in, the test plug-ins and the app double. They are
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

struct CRITICAL_SECTION;  // only ever pointed at

struct MEMORY_BASIC_INFORMATION {
    void* BaseAddress;
    void* AllocationBase;
    DWORD AllocationProtect;
#if defined(__x86_64__)
    uint16_t PartitionId;
#endif
    size_t RegionSize;
    DWORD State;
    DWORD Protect;
    DWORD Type;
};

struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    uintptr_t ExceptionInformation[15];
};

struct CONTEXT;  // only ever pointed at

struct STARTUPINFOW {
    DWORD cb;
    wchar_t *lpReserved, *lpDesktop, *lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    uint16_t wShowWindow, cbReserved2;
    uint8_t* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess, hThread;
    DWORD dwProcessId, dwThreadId;
};

struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
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
constexpr DWORD MEM_MAPPED = 0x40000;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD PAGE_WRITECOPY = 0x08;
constexpr DWORD PAGE_EXECUTE_READWRITE = 0x40;
constexpr DWORD PAGE_EXECUTE_WRITECOPY = 0x80;
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD EXCEPTION_NONCONTINUABLE = 0x1;
constexpr long EXCEPTION_EXECUTE_HANDLER = 1;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD PIPE_READMODE_MESSAGE = 0x2;
constexpr DWORD PIPE_TYPE_MESSAGE = 0x4;
constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x2;
constexpr DWORD ERROR_PIPE_CONNECTED = 535;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
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
KERNEL32_API BOOL WINAPI HeapLock(HANDLE heap);
KERNEL32_API void WINAPI EnterCriticalSection(CRITICAL_SECTION* section);
KERNEL32_API size_t WINAPI VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info, size_t size);
KERNEL32_API HMODULE WINAPI GetModuleHandleW(const wchar_t* name);
KERNEL32_API DWORD WINAPI GetCurrentProcessId();
KERNEL32_API DWORD WINAPI GetCurrentThreadId();
KERNEL32_API DWORD WINAPI GetTickCount();
[[noreturn]] KERNEL32_API void WINAPI ExitProcess(unsigned code);
typedef long(WINAPI* TOP_LEVEL_EXCEPTION_FILTER)(EXCEPTION_POINTERS* info);
KERNEL32_API TOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(TOP_LEVEL_EXCEPTION_FILTER filter);
KERNEL32_API BOOL WINAPI CreateTimerQueueTimer(HANDLE* timer, HANDLE queue, void(WINAPI* callback)(void*, uint8_t),
                                               void* param, DWORD dueMs, DWORD periodMs, unsigned long flags);
KERNEL32_API BOOL WINAPI TrySubmitThreadpoolCallback(void(WINAPI* callback)(void* instance, void* param), void* param,
                                                     void* environment);
#if defined(__x86_64__)
KERNEL32_API void WINAPI RtlUnwindEx(void* targetFrame, void* targetIp, EXCEPTION_RECORD* record, void* returnValue,
                                     CONTEXT* context, void* historyTable);
#else
KERNEL32_API void WINAPI RtlUnwind(void* targetFrame, void* targetIp, EXCEPTION_RECORD* record, void* returnValue);
#endif
KERNEL32_API BOOL WINAPI CreateProcessW(const wchar_t* application, wchar_t* commandLine, void* processSecurity,
                                        void* threadSecurity, BOOL inheritHandles, DWORD flags, void* environment,
                                        const wchar_t* directory, STARTUPINFOW* startup, PROCESS_INFORMATION* info);
KERNEL32_API HANDLE WINAPI CreateEventW(void* security, BOOL manualReset, BOOL initialState, const wchar_t* name);
KERNEL32_API BOOL WINAPI SetEvent(HANDLE event);
KERNEL32_API BOOL WINAPI ResetEvent(HANDLE event);
KERNEL32_API DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);
KERNEL32_API DWORD WINAPI GetLastError();
KERNEL32_API BOOL WINAPI SetNamedPipeHandleState(HANDLE pipe, DWORD* mode, DWORD* maxCollectionCount,
                                                 DWORD* collectDataTimeout);
KERNEL32_API BOOL WINAPI GetNamedPipeServerProcessId(HANDLE pipe, unsigned long* processId);
KERNEL32_API BOOL WINAPI WaitNamedPipeW(const wchar_t* name, DWORD ms);
KERNEL32_API HANDLE WINAPI CreateNamedPipeW(const wchar_t* name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                            DWORD outSize, DWORD inSize, DWORD defaultTimeoutMs, void* security);
KERNEL32_API BOOL WINAPI ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped);
KERNEL32_API BOOL WINAPI DisconnectNamedPipe(HANDLE pipe);
KERNEL32_API BOOL WINAPI GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
KERNEL32_API BOOL WINAPI CancelIo(HANDLE file);
KERNEL32_API uint64_t WINAPI GetTickCount64();
KERNEL32_API uint8_t WINAPI TryAcquireSRWLockExclusive(SRWLOCK* lock);
KERNEL32_API BOOL WINAPI GetModuleHandleExW(DWORD flags, const wchar_t* name, HMODULE* module);
[[noreturn]] KERNEL32_API void WINAPI FreeLibraryAndExitThread(HMODULE module, DWORD code);
KERNEL32_API HMODULE WINAPI LoadLibraryW(const wchar_t* name);
KERNEL32_API void* WINAPI GetProcAddress(HMODULE module, const char* name);
KERNEL32_API BOOL WINAPI FreeLibrary(HMODULE module);
KERNEL32_API HANDLE WINAPI GetStdHandle(DWORD which);
KERNEL32_API wchar_t* WINAPI GetCommandLineW();
KERNEL32_API DWORD WINAPI GetFileAttributesW(const wchar_t* name);
KERNEL32_API void* WINAPI VirtualAlloc(void* address, size_t size, DWORD type, DWORD protect);
KERNEL32_API BOOL WINAPI VirtualFree(void* address, size_t size, DWORD type);
KERNEL32_API void* WINAPI MapViewOfFile(HANDLE section, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t size);
KERNEL32_API BOOL WINAPI UnmapViewOfFile(const void* view);
