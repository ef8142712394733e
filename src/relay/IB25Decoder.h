// The descrambler contract: "b25decoder.dll" exports "CreateB25Decoder",
// whose object is called through its table of virtual operations by
// position. As with the tuner plug-ins, the layout is Microsoft's: no virtual
// destructor, reserved positions hold their place.
#pragma once
#include "common/Bool32.h"

#include <stdint.h>

struct IB25Decoder {
    virtual BOOL32 StartUp(uint32_t value) = 0;                                               // 0, always 4
    virtual void Release() = 0;                                                               // 1
    virtual BOOL32 Decode(const uint8_t* src, uint32_t srcSize, uint8_t** dst, uint32_t* dstSize) = 0;  // 2

protected:
    ~IB25Decoder() = default;
};

struct IB25Decoder2 : IB25Decoder {
    virtual void ReservedSlot3() = 0;      // 3
    virtual void ReservedSlot4() = 0;      // 4
    virtual void ReservedSlot5() = 0;      // 5
    virtual void Configure(int32_t value) = 0;  // 6, always 0

protected:
    ~IB25Decoder2() = default;
};

using CreateB25DecoderFn = IB25Decoder* (__cdecl*)();
constexpr char kCreateB25DecoderExport[] = "CreateB25Decoder";
constexpr wchar_t kDescramblerLibrary[] = L"b25decoder.dll";
constexpr uint32_t kDescramblerStartUpValue = 4;
