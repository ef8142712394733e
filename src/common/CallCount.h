// Counts of the calls the stream path makes into the system (waits, polls,
// event signals, pipe I/O, sleeps), per thread role, and of the blocks and chunks they
// move: the benchmark's counter build (TUNERHOST_COUNT_CALLS) writes them to
// TunerHost.counts beside the executable at exit. In every other build these
// calls compile to nothing.
#pragma once

enum class ThreadRole { Other, Reception, Relay, Data, Control, Signal, Count };
enum class SystemCall { Wait, Poll, Signal, PipeIo, Sleep, Count };
enum class StreamUnit { Block, Chunk, Count };

#ifdef TUNERHOST_COUNT_CALLS
void SetThreadRole(ThreadRole role);
void CountCall(SystemCall call);
void CountUnit(StreamUnit unit);
#else
inline void SetThreadRole(ThreadRole) {}
inline void CountCall(SystemCall) {}
inline void CountUnit(StreamUnit) {}
#endif
