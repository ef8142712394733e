// tsserve's command line.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// An address range such as 192.168.1.0/24 or fd00::/8; a bare address is a
// range of one.
class CAddressRange {
public:
    bool Parse(const std::string& text);
    // `address` as the server reports a peer: "192.168.1.7", "::1", or an
    // IPv4 address mapped into IPv6.
    bool Contains(const std::string& address) const;

private:
    int family_ = 0;
    uint8_t bytes_[16] = {};
    int prefix_ = 0;
};

struct ServeOptions {
    std::string host = "127.0.0.1";  // without brackets
    int port = 40080;
    std::vector<CAddressRange> allow;  // empty: every peer
    std::wstring hostDirectory;        // where TunerHost.exe and its settings are
    double lagSeconds = 4.0;           // how far a viewer may fall behind
    double tuneWaitSeconds = 10.0;     // how long a tune may take to bring data, and data may stop
    bool scan = false;                 // --scan: scan the channels, save what was found and end
    std::string scanOnly;              // --only: the bands and channels to scan (ScanChoice.h)
    int guideIdleSeconds = 60;         // how long a kind must be without viewers for the guide's idle pass
    int guideEveryMinutes = 240;       // how often the idle pass takes each stream's schedule; 0: never
    // Where recorders' front-ends look for their tuner server by default:
    // the main port's pages and API answer there too. 0: not at all.
    int apiPort = 40772;
    bool apiPortGiven = false;  // by --api-port, not the default
};

// The recorders' port tsserve opens beside its own, or 0: none (turned off,
// the main port itself, or a default that a network tuner's port takes).
int ExtraApiPort(const ServeOptions& o);

// False with a message on bad input.
bool ParseServeOptions(int argc, wchar_t** argv, ServeOptions& o, std::string& error);
void PrintUsage();
// "127.0.0.1:40080", "[::1]:40080".
std::string ListenText(const ServeOptions& o);
