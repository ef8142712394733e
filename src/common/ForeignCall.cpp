#include "common/ForeignCall.h"

namespace {

// A slot of the system's thread-local storage, taken before any worker starts.
const DWORD g_slot = TlsAlloc();

}  // namespace

void BindForeignCall(CForeignCall* call)
{
    if (g_slot != TLS_OUT_OF_INDEXES) TlsSetValue(g_slot, call);
}

CForeignCall* BoundForeignCall()
{
    return g_slot != TLS_OUT_OF_INDEXES ? static_cast<CForeignCall*>(TlsGetValue(g_slot)) : nullptr;
}
