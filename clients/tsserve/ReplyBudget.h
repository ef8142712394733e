// How often discovery answers. A reply is many times its request (an 8-byte
// HDHomeRun request gets 188 bytes per device, an SSDP ssdp:all search 1,478
// bytes in all) and a datagram's source address can be forged, so discovery
// must not be a way to send much at someone else: each source is answered a
// few times at once and then a few times a second, and all of them together
// a few dozen times a second. Token buckets, one per source.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_map>

class CReplyBudget {
public:
    struct Rate {
        double perSecond;
        double burst;
    };
    // maxSources: how many sources are remembered; a new one beyond them is
    // answered only once an idle one can be forgotten.
    CReplyBudget(Rate perSource, Rate overall, size_t maxSources);

    // Whether a request from `source` (an IPv4 address) may be answered at
    // `nowMs`; if so, it is counted.
    bool Take(uint32_t source, uint64_t nowMs);

private:
    struct Bucket {
        double tokens;
        uint64_t ms;
    };
    static void Refill(Bucket& b, const Rate& rate, uint64_t nowMs);

    const Rate perSource_, overall_;
    const size_t maxSources_;
    std::unordered_map<uint32_t, Bucket> sources_;
    Bucket all_;
};
