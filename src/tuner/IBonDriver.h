// The tuner plug-in contract. Plug-ins are built with Microsoft's compiler:
// both interfaces share one table of virtual operations laid out by slot, with
// no virtual destructor. TunerHost calls only the slots of Open, Close,
// ReadLevel, FetchBlock, Discard, Destroy, SpaceName, ChannelName and Tune;
// the apps that load plug-ins themselves call the others too, and TunerHost's
// own client plug-in gives them all. Classes, as the apps declare them: an
// app's dynamic_cast compares the decorated names (".?AVIBonDriver2@@").
#pragma once
#include "common/Bool32.h"

#include <stdint.h>

class IBonDriver {
public:
    virtual BOOL32 Open() = 0;                                                  // 0
    virtual void Close() = 0;                                                   // 1
    // Tunes channel `channel` of the current space (the first before any).
    virtual BOOL32 TuneInSpace(uint8_t channel) = 0;                            // 2
    virtual float ReadLevel() = 0;                                              // 3
    // Waits up to `ms` for stream data: 0 when some is ready, 0x102 when the
    // time ran out.
    virtual uint32_t WaitForStream(uint32_t ms) = 0;                            // 4
    // The blocks ready for FetchBlock.
    virtual uint32_t ReadyBlocks() = 0;                                         // 5
    virtual BOOL32 FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting) = 0;  // 6
    // FetchBlock's copying kind: up to *size bytes into `buffer`; *size then
    // says how many were copied, *waiting how many bytes still wait.
    virtual BOOL32 CopyStream(uint8_t* buffer, uint32_t* size, uint32_t* waiting) = 0;  // 7
    virtual void Discard() = 0;                                                 // 8
    virtual void Destroy() = 0;                                                 // 9

protected:
    ~IBonDriver() = default;
};

class IBonDriver2 : public IBonDriver {
public:
    virtual const wchar_t* TunerName() = 0;                                     // 10
    virtual BOOL32 IsOpen() = 0;                                                // 11
    virtual const wchar_t* SpaceName(uint32_t space) = 0;                       // 12
    virtual const wchar_t* ChannelName(uint32_t space, uint32_t channel) = 0;   // 13
    virtual BOOL32 Tune(uint32_t space, uint32_t channel) = 0;                  // 14
    // The space and channel last tuned; kNotTuned before a tune.
    virtual uint32_t CurrentSpace() = 0;                                        // 15
    virtual uint32_t CurrentChannel() = 0;                                      // 16

protected:
    ~IBonDriver2() = default;
};

constexpr uint32_t kNotTuned = 0xFFFFFFFF;
// What WaitForStream answers: the values of WAIT_OBJECT_0 and WAIT_TIMEOUT.
constexpr uint32_t kStreamReady = 0;
constexpr uint32_t kStreamTimedOut = 0x102;

// The export "CreateBonDriver".
using CreateBonDriverFn = IBonDriver* (__cdecl*)();
constexpr char kCreateBonDriverExport[] = "CreateBonDriver";

// The downcast, done by reading the object's type information ourselves: the
// compiler's own dynamic_cast cannot read what Microsoft's compiler lays out.
IBonDriver2* AsBonDriver2(IBonDriver* driver);
