// The tuner plug-in contract. Plug-ins are built with Microsoft's compiler:
// both interfaces share one table of virtual operations laid out by slot, with
// no virtual destructor. Only the named slots are ever called; the others hold
// their place in the table.
#pragma once
#include "common/Bool32.h"

#include <stdint.h>

struct IBonDriver {
    virtual BOOL32 Open() = 0;                                                  // 0
    virtual void Close() = 0;                                                   // 1
    virtual void ReservedSlot2() = 0;                                           // 2
    virtual float ReadLevel() = 0;                                              // 3
    virtual void ReservedSlot4() = 0;                                           // 4
    virtual void ReservedSlot5() = 0;                                           // 5
    virtual BOOL32 FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting) = 0;  // 6
    virtual void ReservedSlot7() = 0;                                           // 7
    virtual void Discard() = 0;                                                 // 8
    virtual void Destroy() = 0;                                                 // 9

protected:
    ~IBonDriver() = default;
};

struct IBonDriver2 : IBonDriver {
    virtual void ReservedSlot10() = 0;                                          // 10
    virtual void ReservedSlot11() = 0;                                          // 11
    virtual const wchar_t* SpaceName(uint32_t space) = 0;                       // 12
    virtual const wchar_t* ChannelName(uint32_t space, uint32_t channel) = 0;   // 13
    virtual BOOL32 Tune(uint32_t space, uint32_t channel) = 0;                  // 14

protected:
    ~IBonDriver2() = default;
};

// The export "CreateBonDriver".
using CreateBonDriverFn = IBonDriver* (__cdecl*)();
constexpr char kCreateBonDriverExport[] = "CreateBonDriver";

// The downcast, done by reading the object's type information ourselves: the
// compiler's own dynamic_cast cannot read what Microsoft's compiler lays out.
IBonDriver2* AsBonDriver2(IBonDriver* driver);
