// Keeps a DLL loaded for the rest of the process. Used when a thread had to be
// terminated inside a plug-in or descrambler: the module may still run code of
// its own (a reader thread, an overlapped read in flight) or hold a lock that
// its detach code waits on, so unloading it could take the process down or
// hang it under the loader's lock. A leaked module is the lesser harm.
#pragma once
#include <windows.h>

inline void PinModule(HMODULE module)
{
    HMODULE pinned = nullptr;
    if (module)
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(module), &pinned);
}
