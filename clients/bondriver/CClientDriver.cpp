#include "CClientDriver.h"

#include "ClientChannels.h"
#include "SrwHold.h"

CClientDriver::CClientDriver(bool terrestrial)
    : terrestrial_(terrestrial),
      lost_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      closed_(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      link_(terrestrial),
      buffer_(lost_)
{
}

CClientDriver::~CClientDriver()
{
    if (lost_) CloseHandle(lost_);
    if (closed_) CloseHandle(closed_);
}

BOOL32 CClientDriver::Open()
{
    CSrwHold hold(lock_);
    if (open_ && !Lost()) return 1;
    // An app that opens again after the connection was lost, without a
    // Close between, is served as if it had closed.
    CloseLocked();
    if (leaked_) return 0;
    ResetEvent(lost_);
    if (!link_.Connect()) return 0;
    const HANDLE data = link_.OpenData();
    if (data == INVALID_HANDLE_VALUE) return 0;
    buffer_.Clear();
    if (!buffer_.Start(data)) {
        link_.Disconnect();
        return 0;
    }
    space_ = kNotTuned;
    channel_ = kNotTuned;
    level_ = 0;
    ResetEvent(closed_);
    open_ = 1;
    return 1;
}

void CClientDriver::CloseLocked()
{
    if (!open_) return;
    SetEvent(closed_);
    if (!buffer_.Stop()) leaked_ = true;
    link_.Disconnect();
    buffer_.Clear();
    open_ = 0;
}

void CClientDriver::Close()
{
    CSrwHold hold(lock_);
    CloseLocked();
}

BOOL32 CClientDriver::Tune(uint32_t space, uint32_t channel)
{
    uint32_t value = 0;
    if (!ClientChannelValue(terrestrial_, space, channel, value)) return 0;
    CSrwHold hold(lock_);
    if (!open_ || Lost()) return 0;
    HANDLE data = INVALID_HANDLE_VALUE;
    if (buffer_.Park()) data = link_.Retune(value);
    // Nothing of the old channel follows: the new data connection starts
    // after the retune, and what was buffered goes.
    buffer_.Clear();
    if (data == INVALID_HANDLE_VALUE) {
        buffer_.MarkLost();
        return 0;
    }
    space_ = space;
    channel_ = channel;
    buffer_.Resume(data);
    return 1;
}

BOOL32 CClientDriver::TuneInSpace(uint8_t channel)
{
    const uint32_t space = space_;
    return Tune(space == kNotTuned ? 0 : space, channel);
}

float CClientDriver::ReadLevel()
{
    float level = 0;
    if (open_ && !Lost() && link_.SignalLevel(level)) level_ = level;
    if (link_.Lost()) buffer_.MarkLost();
    return open_ && !Lost() ? level_ : 0.0f;
}

uint32_t CClientDriver::WaitForStream(uint32_t ms)
{
    return buffer_.Wait(ms, closed_);
}

uint32_t CClientDriver::ReadyBlocks()
{
    return buffer_.ReadyBlocks();
}

BOOL32 CClientDriver::FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting)
{
    return buffer_.Fetch(data, size, waiting);
}

BOOL32 CClientDriver::CopyStream(uint8_t* buffer, uint32_t* size, uint32_t* waiting)
{
    return buffer_.Copy(buffer, size, waiting);
}

void CClientDriver::Discard()
{
    buffer_.Clear();
}

void CClientDriver::Destroy()
{
    {
        CSrwHold hold(lock_);
        CloseLocked();
        // A reader that would not end still uses the object: it stays.
        if (leaked_) return;
    }
    delete this;
}

const wchar_t* CClientDriver::TunerName()
{
    return terrestrial_ ? L"TunerHost (terrestrial)" : L"TunerHost (satellite)";
}

BOOL32 CClientDriver::IsOpen()
{
    return open_ && !Lost();
}

const wchar_t* CClientDriver::SpaceName(uint32_t space)
{
    return ClientSpaceName(terrestrial_, space);
}

const wchar_t* CClientDriver::ChannelName(uint32_t space, uint32_t channel)
{
    return ClientChannelName(terrestrial_, space, channel);
}
