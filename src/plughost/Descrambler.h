// The descrambler library in the plug-in host: loaded with the first live
// instance, freed with the last. A host serves one connection at a time, so
// that is one instance, loaded at the connection's start and freed at its end.
#pragma once
#include "relay/IB25Decoder.h"

// A started instance, or null when the library, its factory or the
// instance's start-up fails (the stream then passes unchanged).
IB25Decoder* LoadDescrambler();
// After an instance has been released. False when nothing was loaded.
bool UnloadDescrambler();
// Releases an instance, then unloads the library.
void ReleaseDescrambler(IB25Decoder* instance);
