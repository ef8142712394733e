// A DLL linked with a static libstdc++ gets that runtime's emergency
// exception pool (about 73 kB on x64) at every load and does not give it back
// when it is freed. TunerHost loads a tuner plug-in per connection, so such a
// plug-in would cost that much per client for as long as TunerHost runs.
// Called at DLL_PROCESS_DETACH; at process exit (reserved set) there is
// nothing to give back to.
#pragma once
#include <windows.h>

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres();
}
#endif

inline void ReleaseStaticRuntime(LPVOID reserved)
{
#if defined(__GLIBCXX__)
    if (!reserved) __gnu_cxx::__freeres();
#else
    (void)reserved;
#endif
}
