// The program and service tables that a Japanese broadcast carries beside
// its programmes: PAT and PMT (ISO/IEC 13818-1), SDT actual, NIT actual and
// TOT (ETSI EN 300 468 with ARIB STD-B10's additions). Each writes into the
// caller's buffer and returns the bytes written, 0 when they did not fit.
// Text fields are ARIB-coded bytes (AribText.h).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "SiSection.h"

constexpr uint16_t kSiNitPid = 0x0010;
constexpr uint16_t kSiSdtPid = 0x0011;
constexpr uint16_t kSiEitPid = 0x0012;
constexpr uint16_t kSiTotPid = 0x0014;

struct SiProgram {
    uint16_t number;  // 0: the network PID
    uint16_t pid;
};
size_t WritePat(uint8_t* out, size_t capacity, uint16_t tsid, uint8_t version, const SiProgram* programs,
                size_t count);

struct SiElementary {
    uint8_t streamType;
    uint16_t pid;
    uint8_t componentTag;  // in a stream identifier descriptor, which ties the EIT's components to it
};
size_t WritePmt(uint8_t* out, size_t capacity, uint16_t program, uint8_t version, uint16_t pcrPid,
                const SiElementary* streams, size_t count);

struct SiSdtService {
    uint16_t id;
    uint8_t type;  // 0x01 television, 0x02 radio, 0xC0 data
    SiText provider, name;
    // A logo in the network's CDT (SiLogo.h), named by a logo transmission
    // descriptor of type 1.
    bool hasLogo = false;
    uint16_t logoId = 0, logoVersion = 0, logoDownloadId = 0;
};
size_t WriteSdt(uint8_t* out, size_t capacity, uint16_t tsid, uint16_t networkId, uint8_t version,
                const SiSdtService* services, size_t count);

struct SiNitService {
    uint16_t id;
    uint8_t type;
    bool partialReception;  // a one-segment service, listed in the TS information apart
};
struct SiNitTransport {
    uint16_t tsid, networkId;
    const SiNitService* services;
    size_t serviceCount;
    uint8_t remoteKey;  // ARIB's remote-control key id, 1-12
    SiText name;
};
// As many sections as the transport-stream loop needs (each at most 1024
// bytes), back to back.
size_t WriteNit(uint8_t* out, size_t capacity, uint16_t networkId, uint8_t version, SiText networkName,
                const SiNitTransport* transports, size_t count);

// The clock: Japan's time (UTC+9) for the moment `unixSeconds`.
size_t WriteTot(uint8_t* out, size_t capacity, uint32_t unixSeconds);

// Time fields as SI carries them: MJD and BCD hours, minutes, seconds of
// Japan's time; a duration in BCD.
void SiJstTime(uint32_t unixSeconds, uint8_t out[5]);
uint32_t SiBcdDuration(uint32_t seconds);
