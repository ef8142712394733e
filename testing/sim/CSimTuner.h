// What the simulated plug-in does behind its interface slots: its tuning
// spaces and channels, the paced stream, and the faults its settings ask for.
#pragma once
#include "CByteBuffer.h"
#include "CSimSource.h"
#include "SimSettings.h"
#include "SimStream.h"
#include "tuner/IBonDriver.h"

class CSimTuner {
public:
    explicit CSimTuner(const SimSettings& s);
    ~CSimTuner();
    CSimTuner(const CSimTuner&) = delete;
    CSimTuner& operator=(const CSimTuner&) = delete;

    BOOL32 Open();
    void Close();
    float ReadLevel() const { return 20.0f + static_cast<float>(stream_.Channel()) * 0.1f; }
    BOOL32 FetchBlock(uint8_t** data, uint32_t* size, uint32_t* waiting);
    void Discard();
    const wchar_t* SpaceName(uint32_t space);
    const wchar_t* ChannelName(uint32_t space, uint32_t channel);
    BOOL32 Tune(uint32_t space, uint32_t channel);
    const SimSettings& Settings() const { return settings_; }

    // At unload: the reader threads of objects that were never closed are
    // stopped (ReaderThread=1), or left running (2).
    static void OnUnload();

private:
    static constexpr size_t kBlockBytes = 256 * kTsPacketSize;
    static constexpr uint32_t kMaxPacketsAhead = 4096;
    static constexpr size_t kRingBytes = 8 * 1024 * 1024 / kTsPacketSize * kTsPacketSize;
    static constexpr uint32_t kMaxSpaces = 6;
    static constexpr uint32_t kMaxChannels = 51;
    static constexpr size_t kNameLength = 12;

    struct Space {
        const wchar_t* name;
        uint32_t channels;
    };

    void AddSpace(const wchar_t* name, const wchar_t* prefix, uint32_t from, uint32_t to, int minDigits,
                  const wchar_t* suffix);
    bool FillBlock();
    double ElapsedSeconds() const;
    // Adds the packets that are due by now to the pending bytes.
    void Produce();
    BOOL32 FetchFromPending(uint8_t** data, uint32_t* size, uint32_t* waiting);
    BOOL32 FetchUnpaced(uint8_t** data, uint32_t* size, uint32_t* waiting);
    static DWORD WINAPI ReaderMain(void* self);
    // The reader thread's lock, when there is one: around everything that
    // touches the stream or the pending bytes.
    void Lock()
    {
        if (settings_.readerThread) AcquireSRWLockExclusive(&lock_);
    }
    void Unlock()
    {
        if (settings_.readerThread) ReleaseSRWLockExclusive(&lock_);
    }
    void StartReader();
    void StopReader();
    static void Stamp(uint8_t* block, size_t size);
    void Slow() const;
    // The next packet of the generated stream, or of the replayed file.
    void NextPacket(uint8_t* out);
    const wchar_t* Endless(const wchar_t* prefix, uint32_t n);
    // NamesFreed: a copy of the name in memory given back before it is returned.
    const wchar_t* Freed(const wchar_t* name);

    SimSettings settings_;
    Space spaces_[kMaxSpaces] = {};
    uint32_t spaceCount_ = 0;
    wchar_t channelNames_[kMaxSpaces][kMaxChannels][kNameLength] = {};
    CSimStream stream_;
    CSimSource source_;
    double rate_ = 0;  // bytes per second; 0: as fast as it is taken
    LARGE_INTEGER frequency_{}, start_{};
    uint64_t delivered_ = 0;
    CByteBuffer pending_, block_;
    size_t oddIndex_ = 0;
    bool hung_ = false;
    bool misbehaved_ = false;  // a misbehaviour in FetchBlock comes once
    uint32_t fetches_ = 0;
    wchar_t endlessName_[32] = {};
    // The reader thread and the lock it shares with FetchBlock.
    HANDLE reader_ = nullptr;
    SRWLOCK lock_ = {};
    volatile long stopReader_ = 0;
};
