// The client plug-in's tuner object: every slot of the interface apps call,
// over TunerHost's pipes of one tuner kind.
#pragma once
#include "CStreamBuffer.h"
#include "CTunerLink.h"
#include "tuner/IBonDriver.h"

class CClientDriver final : public IBonDriver2 {
public:
    explicit CClientDriver(bool terrestrial);
    bool Ready() const { return lost_ && closed_ && buffer_.Ready(); }

    BOOL32 Open() override;
    void Close() override;
    BOOL32 TuneInSpace(uint8_t channel) override;
    float ReadLevel() override;
    uint32_t WaitForStream(uint32_t ms) override;
    uint32_t ReadyBlocks() override;
    BOOL32 FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting) override;
    BOOL32 CopyStream(uint8_t* buffer, uint32_t* size, uint32_t* waiting) override;
    void Discard() override;
    void Destroy() override;
    const wchar_t* TunerName() override;
    BOOL32 IsOpen() override;
    const wchar_t* SpaceName(uint32_t space) override;
    const wchar_t* ChannelName(uint32_t space, uint32_t channel) override;
    BOOL32 Tune(uint32_t space, uint32_t channel) override;
    uint32_t CurrentSpace() override { return space_; }
    uint32_t CurrentChannel() override { return channel_; }

private:
    ~CClientDriver();
    bool Lost() const { return buffer_.Lost(); }
    void CloseLocked();

    const bool terrestrial_;
    HANDLE lost_;    // manual-reset: the connection is over
    HANDLE closed_;  // manual-reset: set while the tuner is not open
    CTunerLink link_;
    CStreamBuffer buffer_;
    SRWLOCK lock_ = {};  // Open, Close and Tune one at a time
    volatile long open_ = 0;
    volatile uint32_t space_ = kNotTuned;
    volatile uint32_t channel_ = kNotTuned;
    volatile float level_ = 0;
    bool leaked_ = false;  // the reader did not end: the object stays
};
