#include "relay/Descrambler.h"

#include "common/CriticalSection.h"
#include "common/ForeignCall.h"
#include "common/PinModule.h"
#include "common/TypeProbe.h"

#include <windows.h>

namespace {

struct CDescramblerLibrary {
    CCriticalSection lock;
    long count = 0;
    HMODULE library = nullptr;
    ~CDescramblerLibrary()
    {
        if (library) FreeLibrary(library);
    }
};

// Set up before the entry point runs; a library still loaded at exit is
// freed after it returns.
CDescramblerLibrary g_descrambler;

}  // namespace

IB25Decoder* LoadDescrambler()
{
    HMODULE library = nullptr;
    {
        CLock hold(g_descrambler.lock);
        if (g_descrambler.count == 0) {
            g_descrambler.library = LoadLibraryW(kDescramblerLibrary);
            if (!g_descrambler.library) return nullptr;
        }
        ++g_descrambler.count;
        library = g_descrambler.library;
    }
    auto create = reinterpret_cast<CreateB25DecoderFn>(
        reinterpret_cast<void*>(GetProcAddress(library, kCreateB25DecoderExport)));
    IB25Decoder* decoder = nullptr;
    BOOL32 started = 0;
    {
        CForeignScope call;
        decoder = create ? create() : nullptr;
        if (decoder) started = decoder->StartUp(kDescramblerStartUpValue);
        if (decoder && !started) {
            CForeignScope ending(ForeignCallKind::Ending);
            decoder->Release();
        }
    }
    if (!decoder || !started) {
        UnloadDescrambler();
        return nullptr;
    }
    if (auto* decoder2 = static_cast<IB25Decoder2*>(ProbeInterface(decoder, "IB25Decoder2"))) {
        CForeignScope call;
        decoder2->Configure(0);
    }
    return decoder;
}

bool UnloadDescrambler()
{
    CLock hold(g_descrambler.lock);
    if (g_descrambler.count == 0) return false;
    if (--g_descrambler.count == 0) {
        FreeLibrary(g_descrambler.library);
        g_descrambler.library = nullptr;
    }
    return true;
}

void AbandonDescrambler()
{
    CLock hold(g_descrambler.lock);
    // Its count stays taken, so the library is never freed while the process
    // runs; pinned, freeing it at exit unloads nothing either.
    PinModule(g_descrambler.library);
}

long DescramblerLoadCount()
{
    CLock hold(g_descrambler.lock);
    return g_descrambler.count;
}
