#include "app/CApp.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Held for the life of the process; a second instance leaves at once.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    return RunApplication(instance);
}
