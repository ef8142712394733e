#include "plughost/QuietFaults.h"

#include <windows.h>

namespace {

LONG WINAPI EndAtOnce(EXCEPTION_POINTERS* info)
{
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void ShowNothing()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Windows Error Reporting's dialog, where the system has it.
    using WerSetFlagsFn = HRESULT(WINAPI*)(DWORD);
    if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll"))
        if (auto set = reinterpret_cast<WerSetFlagsFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "WerSetFlags"))))
            set(4 /* WER_FAULT_REPORTING_NO_UI */);
    SetUnhandledExceptionFilter(EndAtOnce);
}

void KeepFaultFilter()
{
    SetUnhandledExceptionFilter(EndAtOnce);
}
