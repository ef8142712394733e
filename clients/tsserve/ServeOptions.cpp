#include "ServeOptions.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string Narrow(const wchar_t* w)
{
    char buf[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf - 1, nullptr, nullptr);
    return buf;
}

// Fills 4 or 16 bytes; the family, or 0 when the text is no address.
int ParseAddress(const std::string& text, uint8_t (&bytes)[16])
{
    if (text.empty() || text.size() > 45) return 0;
    in_addr v4;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        std::memcpy(bytes, &v4, 4);
        return AF_INET;
    }
    in6_addr v6;
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(bytes, &v6, 16);
        return AF_INET6;
    }
    return 0;
}

bool ParseInt(const std::string& text, long low, long high, long& out)
{
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

bool ParseListen(const std::string& text, ServeOptions& o)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    long port = 0;
    // The network tuners take the two ports above.
    if (!ParseInt(text.substr(colon + 1), 1, 65533, port)) return false;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos) return false;  // IPv6 needs brackets
    uint8_t bytes[16];
    if (!ParseAddress(host, bytes)) return false;
    o.host = host;
    o.port = static_cast<int>(port);
    return true;
}

}  // namespace

bool CAddressRange::Parse(const std::string& text)
{
    const size_t slash = text.find('/');
    family_ = ParseAddress(text.substr(0, slash), bytes_);
    if (!family_) return false;
    const int bits = family_ == AF_INET ? 32 : 128;
    long prefix = bits;
    if (slash != std::string::npos && !ParseInt(text.substr(slash + 1), 0, bits, prefix)) return false;
    prefix_ = static_cast<int>(prefix);
    return true;
}

bool CAddressRange::Contains(const std::string& address) const
{
    uint8_t peer[16];
    int family = ParseAddress(address, peer);
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (family == AF_INET6 && family_ == AF_INET && std::memcmp(peer, kMapped, 12) == 0) {
        std::memmove(peer, peer + 12, 4);
        family = AF_INET;
    }
    if (family != family_) return false;
    for (int bit = 0; bit < prefix_; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((peer[bit / 8] & mask) != (bytes_[bit / 8] & mask)) return false;
    }
    return true;
}

bool ParseServeOptions(int argc, wchar_t** argv, ServeOptions& o, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--scan") {
            o.scan = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "unknown option or missing value: " + Narrow(argv[i]);
            return false;
        }
        const std::string value = Narrow(argv[++i]);
        if (a == L"--listen") {
            if (!ParseListen(value, o)) {
                error = "--listen takes ADDRESS:PORT (PORT up to 65533), such as 0.0.0.0:40080 or [::1]:40080, not " +
                        value;
                return false;
            }
        } else if (a == L"--allow") {
            CAddressRange range;
            if (!range.Parse(value)) {
                error = "--allow takes an address or range, such as 192.168.1.0/24, not " + value;
                return false;
            }
            o.allow.push_back(range);
        } else if (a == L"--dir") {
            o.hostDirectory = argv[i];
        } else if (a == L"--lag") {
            long seconds = 0;
            if (!ParseInt(value, 1, 60, seconds)) {
                error = "--lag takes whole seconds from 1 to 60, not " + value;
                return false;
            }
            o.lagSeconds = static_cast<double>(seconds);
        } else if (a == L"--tune-wait") {
            long seconds = 0;
            if (!ParseInt(value, 1, 120, seconds)) {
                error = "--tune-wait takes whole seconds from 1 to 120, not " + value;
                return false;
            }
            o.tuneWaitSeconds = static_cast<double>(seconds);
        } else if (a == L"--only") {
            o.scanOnly = value;
        } else if (a == L"--guide-idle") {
            long seconds = 0;
            if (!ParseInt(value, 1, 86400, seconds)) {
                error = "--guide-idle takes whole seconds from 1 to 86400, not " + value;
                return false;
            }
            o.guideIdleSeconds = static_cast<int>(seconds);
        } else if (a == L"--guide-every") {
            long minutes = 0;
            if (!ParseInt(value, 0, 10080, minutes)) {
                error = "--guide-every takes whole minutes from 0 (never) to 10080, not " + value;
                return false;
            }
            o.guideEveryMinutes = static_cast<int>(minutes);
        } else if (a == L"--api-port") {
            long port = 0;
            if (value != "off" && !ParseInt(value, 1, 65535, port)) {
                error = "--api-port takes a port from 1 to 65535, or off, not " + value;
                return false;
            }
            o.apiPort = static_cast<int>(port);
            o.apiPortGiven = true;
        } else {
            error = "unknown option " + Narrow(a.c_str());
            return false;
        }
    }
    if (o.apiPortGiven && (o.apiPort == o.port + 1 || o.apiPort == o.port + 2)) {
        error = "--api-port " + std::to_string(o.apiPort) + " is a network tuner's port (the two above --listen's)";
        return false;
    }
    if (!o.scanOnly.empty() && !o.scan) {
        error = "--only goes with --scan";
        return false;
    }
    return true;
}

int ExtraApiPort(const ServeOptions& o)
{
    if (o.apiPort == o.port || o.apiPort == o.port + 1 || o.apiPort == o.port + 2) return 0;
    return o.apiPort;
}

void PrintUsage()
{
    std::fputs(
        "usage: tsserve [--listen ADDRESS:PORT] [--allow RANGE]... [--dir DIR] [--lag SECONDS]\n"
        "               [--tune-wait SECONDS] [--guide-idle SECONDS] [--guide-every MINUTES]\n"
        "               [--api-port PORT|off]\n"
        "       tsserve --scan [--only LIST] [--dir DIR]\n"
        "  Serves TunerHost's tuners over HTTP: /playlist.m3u, /stream/t/CHANNEL,\n"
        "  /stream/s/TSID and /status.json on PORT; and a network tuner for media\n"
        "  servers per tuner kind, at http://ADDRESS:PORT+1 (terrestrial) and PORT+2\n"
        "  (satellite), which HDHomeRun discovery (UDP 65001) and SSDP (UDP 1900) on\n"
        "  ADDRESS find. Ctrl+C ends it.\n"
        "  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:40080; 0.0.0.0:40080\n"
        "                         for every IPv4 address of this machine)\n"
        "  --allow RANGE          answer only these peers, e.g. 192.168.1.0/24 (repeatable;\n"
        "                         others get 403)\n"
        "  --dir DIR              TunerHost's folder, for the channel list (default: tsserve's)\n"
        "  --lag SECONDS          a viewer this far behind the stream is disconnected (default 4)\n"
        "  --tune-wait SECONDS    how long a tune may take to bring data, and how long\n"
        "                         data may stop before the streams end (default 10)\n"
        "  --guide-idle SECONDS   a tuner kind without viewers this long lends its tuner to\n"
        "                         the guide's idle pass (default 60)\n"
        "  --guide-every MINUTES  how often the idle pass takes each transport stream's\n"
        "                         schedule (default 240; 0: never)\n"
        "  --api-port PORT|off    where recorders' front-ends find the API by default\n"
        "                         (default 40772: PORT's pages answer there too)\n"
        "  --scan                 scan the channels for their services, save them beside\n"
        "                         tsserve (tsserve-scan.json) and end; a running tsserve\n"
        "                         reads them at its next start\n"
        "  --only LIST            scan only these bands and channels: UHF,BS,t/27,s/40D0\n"
        "exit codes: 0 ended by Ctrl+C (--scan: scanned), 1 usage, 2 TunerHost's settings\n"
        "  unreadable, 3 cannot listen, 4 --scan could not scan every kind it was to\n",
        stderr);
}

std::string ListenText(const ServeOptions& o)
{
    const bool v6 = o.host.find(':') != std::string::npos;
    return (v6 ? "[" + o.host + "]" : o.host) + ":" + std::to_string(o.port);
}
