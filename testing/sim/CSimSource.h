// A transport-stream file that the simulated tuner replays in place of its
// own stream (SourceFile=), so that a player shows a picture. It loops; at
// the seam every PID's continuity counter carries on and the first packet of
// each PID that has an adaptation field is flagged as a discontinuity, which
// tells a player that the clock jumps back.
#pragma once
#include "CByteBuffer.h"
#include "Kernel32.h"

class CSimSource {
public:
    // Reads the whole file; false when it cannot be read, holds no whole
    // packet, does not start with a sync byte or is larger than kMaxBytes.
    bool Load(const wchar_t* path);
    bool Loaded() const { return packets_ > 0; }
    // The rate that the file's first PCR PID gives, in bytes per second; 0
    // when it gives none.
    double PcrRate() const { return pcrRate_; }
    void NextPacket(uint8_t* out);
    // A tune: the file starts over, as at the seam (a player that joins
    // then gets the file's clock from its start).
    void Restart() { next_ = packets_; }

    static constexpr size_t kMaxBytes = 256u * 1024 * 1024;

private:
    void MeasurePcrRate();

    CByteBuffer file_;
    size_t packets_ = 0;
    size_t next_ = 0;
    double pcrRate_ = 0;
    // Per PID: the last counter sent, what to add to the file's counters, and
    // whether the packet is the first since the seam.
    uint8_t lastCc_[8192] = {};
    uint8_t ccOffset_[8192] = {};
    uint8_t afterSeam_[8192] = {};
    uint8_t seen_[8192] = {};
};
