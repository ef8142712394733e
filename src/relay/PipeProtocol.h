// What TunerHost and its clients agree on over the pipes: the names, the
// command codes and the replies that mean something, the data message, the
// challenge key and the bound between two clients (docs/protocol.md). Plain
// constants only: the client plug-in, built without a runtime, includes it too.
#pragma once
#include <stdint.h>

inline constexpr wchar_t kPlainPipeNameDataT[] = L"\\\\.\\pipe\\TunerHost_Terrestrial_Data";
inline constexpr wchar_t kPlainPipeNameControlT[] = L"\\\\.\\pipe\\TunerHost_Terrestrial_Control";
inline constexpr wchar_t kPlainPipeNameDataS[] = L"\\\\.\\pipe\\TunerHost_Satellite_Data";
inline constexpr wchar_t kPlainPipeNameControlS[] = L"\\\\.\\pipe\\TunerHost_Satellite_Control";

// The control pipe's commands.
enum : uint8_t {
    kCmdPauseData = 0,
    kCmdRearmData = 1,
    kCmdSelectChannel = 2,
    kCmdWaitForData = 3,
    kCmdKeepAlive = 4,
    kCmdChallenge = 5,
    kCmdYield = 6,        // the tuner goes to the next client who opens the control pipe
    kCmdKeep = 7,         // ...no longer
    kCmdSignalLevel = 8,  // the tuner's signal level
};

// TunerHost's reply to command 6; an older one, which does not yield,
// replies what it replied before.
constexpr uint32_t kYieldingReply = 2;
// What command 4 replies, and so what an older TunerHost, which does not know
// command 8, answers to an 8 sent right after a 4. A level is never sent as it.
constexpr uint32_t kKeepAliveReply = 1;

constexpr uint32_t kDataMessageSize = 586560;

// Command 5 answers a 4-byte challenge with the scrambler under this state.
constexpr uint32_t kChallengeKey = 0x74B0DC51u;

// How long TunerHost may be between two clients of a kind, its control pipe
// busy while it closes the last one's tuner: the plug-in's close gets 5 s,
// ending its host when that did not come back up to 5 s more, and stopping
// the stream's relay up to 5 s; and a second to spare.
constexpr uint32_t kBetweenClientsMs = 16000;

// Command 8's reply: the level's bits as a 32-bit float, except the one
// pattern that would read as the keep-alive's reply (a denormal, 1.4e-45),
// which goes as 0.
inline uint32_t LevelReply(float level)
{
    const uint32_t bits = __builtin_bit_cast(uint32_t, level);
    return bits == kKeepAliveReply ? 0 : bits;
}
inline float LevelOfReply(uint32_t reply)
{
    return __builtin_bit_cast(float, reply);
}
