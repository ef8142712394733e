// The simulated plug-in's settings: [Sim] of the INI file named like the DLL.
#pragma once
#include "Kernel32.h"

struct SimSettings {
    wchar_t spaces[16];  // T: UHF, CATV, VHF; S: BS, CS110; both letters: all five
    int emptyFirstSpace, noSpaces, endlessSpaces, endlessChannels;
    int openFails, tuneFails, factoryNull, noInterface2;
    int fetchMode, slowMs, rateKBps, fetchHangMs, fetchHangAfterMs, stamp;
    int openHangMs;  // Open sleeps this long first; negative: it never returns
    int closeHangMs;  // Close sleeps this long first (as a device slow to let go); negative: it never returns
    int hangHoldsLock;  // Open's sleep holds a lock of the module's, which its unload takes
    // Faults (1: an access violation; 2: a C++ exception nothing catches) in
    // Open, Tune, or the first FetchBlock fetchFaultAfterMs after Open.
    int openFault, tuneFault, fetchFault, fetchFaultAfterMs;
    int namesFreed;   // SpaceName and ChannelName point into memory already freed
    int waitingLies;  // FetchBlock hands nothing but always says more is waiting
    // 1: a reader thread of the plug-in's own fills a buffer that FetchBlock
    // takes from, both under one lock, and unloading stops the readers of
    // objects never closed (taking their locks); 2: the same, but unloading
    // leaves such readers running
    int readerThread;
    int layout;  // how the object holds its interfaces: 0 plainly, 1 at an offset, 2 in a virtual base
    // Misbehaviour (SimMisbehaviour.h): what, in which call, and how long
    // after Open for FetchBlock or for a thread of the plug-in's own; or,
    // with `trigger`, once that file exists.
    int misbehave, misbehaveIn, misbehaveAfterMs;
    int probeHandle;  // ReportHandles: a handle value that, inherited, maps a section marked "INHERITD"
    // DllMain at process attach, after logging "load": waits for a thread it
    // started (which the loader never lets run); sleeps this long; faults (as
    // the faults above).
    int dllMainHang, dllMainSlowMs, dllMainFault;
    // Relay=27:29: UHF channel 29 carries what channel 27 does (a second
    // transmitter of the station); 0 when not said.
    int relayFrom, relayTo;
    int tuneFailsOn;  // a UHF channel whose Tune fails; 0: none
    int scrambled;    // a service id whose video and audio go out scrambled; 0: none
    // Drops=7681:500: one in 500 of each of service 7681's video and audio
    // PIDs' payload packets is left out (a null packet in its place)
    int lossyService, lossEvery;
    // Programmes repeat every this many seconds, each as much shorter
    // (SimGuide.h), with a present/following guide only; 0: three hours.
    int guideBlockSeconds;
    // With it: a moment (seconds since 1970, UTC) at which a block starts
    // (0: at multiples of the block); a service whose blocks' first
    // programmes start late by this many seconds (GuideLate=7681:8).
    int guideBlockStart, guideLateService, guideLateSeconds;
    wchar_t log[1024];
    wchar_t trigger[1024];
    // A transport-stream file replayed in place of the generated stream; with
    // it, a rateKBps of -1 (not given) means the rate its PCRs give.
    wchar_t sourceFile[1024];
};

void LoadSimSettings(HMODULE module, SimSettings& s);
