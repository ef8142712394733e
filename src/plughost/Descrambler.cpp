#include "plughost/Descrambler.h"

#include "common/CriticalSection.h"
#include "common/TypeProbe.h"

#include <windows.h>

namespace {

struct CDescramblerLibrary {
    CCriticalSection lock;
    long count = 0;
    HMODULE library = nullptr;
};

CDescramblerLibrary g_descrambler;

}  // namespace

IB25Decoder* LoadDescrambler()
{
    HMODULE library = nullptr;
    {
        CLock hold(g_descrambler.lock);
        if (g_descrambler.count == 0) {
            // A bare name: the search begins with the host's folder, which is
            // TunerHost's. One of the other bitness does not load here, and
            // the stream then passes as it would without the library.
            g_descrambler.library = LoadLibraryW(kDescramblerLibrary);
            if (!g_descrambler.library) return nullptr;
        }
        ++g_descrambler.count;
        library = g_descrambler.library;
    }
    auto create = reinterpret_cast<CreateB25DecoderFn>(
        reinterpret_cast<void*>(GetProcAddress(library, kCreateB25DecoderExport)));
    IB25Decoder* decoder = create ? create() : nullptr;
    const BOOL32 started = decoder ? decoder->StartUp(kDescramblerStartUpValue) : 0;
    if (decoder && !started) decoder->Release();
    if (!decoder || !started) {
        UnloadDescrambler();
        return nullptr;
    }
    if (auto* decoder2 = static_cast<IB25Decoder2*>(ProbeInterface(decoder, "IB25Decoder2"))) decoder2->Configure(0);
    return decoder;
}

bool UnloadDescrambler()
{
    HMODULE library = nullptr;
    {
        CLock hold(g_descrambler.lock);
        if (g_descrambler.count == 0) return false;
        if (--g_descrambler.count == 0) {
            library = g_descrambler.library;
            g_descrambler.library = nullptr;
        }
    }
    if (library) FreeLibrary(library);
    return true;
}

void ReleaseDescrambler(IB25Decoder* instance)
{
    instance->Release();
    UnloadDescrambler();
}
