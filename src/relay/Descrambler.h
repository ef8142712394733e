// The descrambler library, shared by both tuner kinds: loaded with the first
// live instance, freed with the last.
#pragma once
#include "relay/IB25Decoder.h"

// A started instance, or null when the library, its factory or the
// instance's start-up fails (the stream then passes unchanged).
IB25Decoder* LoadDescrambler();
// After an instance has been released. False when nothing was loaded.
bool UnloadDescrambler();
// Releases an instance and then unloads, on a thread of its own that is
// waited for within a bound: an instance whose Release hangs is left to it.
void ReleaseDescrambler(IB25Decoder* instance);
// Instead of UnloadDescrambler, for an instance whose thread was terminated
// inside it: the instance is never released and the library never unloaded.
void AbandonDescrambler();
// Live instances, for tests.
long DescramblerLoadCount();
