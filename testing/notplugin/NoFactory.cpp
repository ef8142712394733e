// A DLL that loads but exports no factory: the catalogue must leave it out.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl NotAFactory() { return 0; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
