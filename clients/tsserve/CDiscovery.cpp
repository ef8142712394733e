#include "CDiscovery.h"

#include "CEventLog.h"
#include "HdhrPacket.h"

#include <ws2tcpip.h>

#include <cstring>
#include <exception>

namespace {

constexpr uint16_t kSsdpPort = 1900;
constexpr const char* kSsdpGroup = "239.255.255.250";
constexpr const char* kMediaServer = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr long kSliceUs = 250000;  // how soon the thread sees a stop
constexpr unsigned long long kSubnetsMs = 60000;  // how often the interfaces' subnets are looked at again
// A media server asks a few times when it looks; a burst of 8, then 2 a
// second, per source: at most about 3 kB/s to anyone, 30 kB/s in all.
constexpr CReplyBudget::Rate kPerSource{2, 8};
constexpr CReplyBudget::Rate kOverall{20, 40};
constexpr size_t kSources = 4096;

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return s;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

std::string AddressText(const in_addr& a)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

std::vector<std::string> SsdpAnswers(const std::string& search, const std::vector<const CNetworkTuner*>& devices,
                                     const std::function<std::string(const CNetworkTuner&)>& location,
                                     const std::string& version)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < search.size();) {
        size_t lf = search.find('\n', at);
        if (lf == std::string::npos) lf = search.size();
        lines.push_back(Trim(search.substr(at, lf - at)));
        at = lf + 1;
    }
    if (lines.empty() || lines[0] != "M-SEARCH * HTTP/1.1") return {};
    std::string man, st;
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t colon = lines[i].find(':');
        if (colon == std::string::npos) continue;
        const std::string name = Lower(Trim(lines[i].substr(0, colon)));
        if (name == "man") man = Trim(lines[i].substr(colon + 1));
        if (name == "st") st = Trim(lines[i].substr(colon + 1));
    }
    if (man != "\"ssdp:discover\"" || st.empty()) return {};
    std::vector<std::string> answers;
    for (const CNetworkTuner* d : devices) {
        std::vector<std::pair<std::string, std::string>> targets;  // ST, USN
        if (st == "ssdp:all" || st == "upnp:rootdevice")
            targets.emplace_back("upnp:rootdevice", d->udn + "::upnp:rootdevice");
        if (st == "ssdp:all" || st == d->udn) targets.emplace_back(d->udn, d->udn);
        if (st == "ssdp:all" || st == kMediaServer) targets.emplace_back(kMediaServer, d->udn + "::" + kMediaServer);
        for (const auto& [target, usn] : targets)
            answers.push_back("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\nLOCATION: " + location(*d) +
                              "\r\nSERVER: Windows UPnP/1.0 tsserve/" + version + "\r\nST: " + target +
                              "\r\nUSN: " + usn + "\r\n\r\n");
    }
    return answers;
}

CDiscovery::CDiscovery(std::string host, std::vector<const CNetworkTuner*> devices, std::string version,
                       std::function<bool(const std::string&)> allowed, CEventLog& log)
    : host_(std::move(host)),
      devices_(std::move(devices)),
      version_(std::move(version)),
      allowed_(std::move(allowed)),
      log_(log),
      budget_(kPerSource, kOverall, kSources)
{
    WSADATA data;
    winsock_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

CDiscovery::~CDiscovery()
{
    Stop();
    if (winsock_) WSACleanup();
}

SOCKET CDiscovery::Bind(uint16_t port, bool shared)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    inet_pton(AF_INET, host_.c_str(), &at.sin_addr);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return s;
    // SSDP's port is shared by every UPnP program on the machine (Windows'
    // own SSDP service among them); HDHomeRun's is not.
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, shared ? SO_REUSEADDR : SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
    if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void CDiscovery::Start()
{
    in_addr v4;
    if (inet_pton(AF_INET, host_.c_str(), &v4) != 1) {
        log_.Line("discovery: off (it answers on IPv4 addresses only; media servers take the base URLs typed in)");
        return;
    }
    if (devices_.empty()) return;
    FindSubnets();
    hdhr_ = Bind(kHdhrDiscoverPort, false);
    ssdp_ = Bind(kSsdpPort, true);
    if (ssdp_ != INVALID_SOCKET) {
        ip_mreq group{};
        inet_pton(AF_INET, kSsdpGroup, &group.imr_multiaddr);
        group.imr_interface = v4;
        // Loopback has no multicast: there, only searches sent to the address itself come.
        setsockopt(ssdp_, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<char*>(&group), sizeof group);
    }
    log_.Line(std::string("discovery: ") +
              (hdhr_ != INVALID_SOCKET ? "HDHomeRun on udp " + host_ + ":65001"
                                       : "HDHomeRun's udp port " + host_ + ":65001 is in use, no HDHomeRun discovery") +
              "; " +
              (ssdp_ != INVALID_SOCKET ? "SSDP on udp " + host_ + ":1900"
                                       : "SSDP's udp port " + host_ + ":1900 cannot be had, no SSDP") +
              "; it answers " + (allowed_ ? std::string("--allow's peers") : SubnetsText()));
    if (hdhr_ != INVALID_SOCKET || ssdp_ != INVALID_SOCKET) thread_ = std::thread(&CDiscovery::Main, this);
}

void CDiscovery::Stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (SOCKET* s : {&hdhr_, &ssdp_})
        if (*s != INVALID_SOCKET) {
            closesocket(*s);
            *s = INVALID_SOCKET;
        }
}

// The subnets of this machine's IPv4 interfaces whose address is the one
// listened on (every one for 0.0.0.0); a loopback address's is 127.0.0.0/8.
void CDiscovery::FindSubnets()
{
    subnetsMs_ = GetTickCount64();
    in_addr listened{};
    inet_pton(AF_INET, host_.c_str(), &listened);
    const uint32_t own = ntohl(listened.s_addr);
    std::vector<Subnet> found;
    if (own >> 24 == 127) found.push_back({0x7F000000, 0xFF000000});
    SOCKET s = own >> 24 == 127 ? INVALID_SOCKET : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        INTERFACE_INFO list[64];
        DWORD size = 0;
        if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &size, nullptr, nullptr) == 0)
            for (DWORD i = 0; i < size / sizeof list[0]; ++i) {
                const uint32_t address = ntohl(list[i].iiAddress.AddressIn.sin_addr.s_addr);
                const uint32_t mask = ntohl(list[i].iiNetmask.AddressIn.sin_addr.s_addr);
                if (list[i].iiAddress.Address.sa_family == AF_INET && (own == 0 || address == own))
                    found.push_back({address & mask, mask});
            }
        closesocket(s);
    }
    // The address itself at least (a local program may ask from it).
    if (found.empty() && own) found.push_back({own, 0xFFFFFFFF});
    subnets_ = std::move(found);
}

std::string CDiscovery::SubnetsText() const
{
    std::string text;
    for (const Subnet& n : subnets_) {
        in_addr a;
        a.s_addr = htonl(n.address);
        int bits = 0;
        for (uint32_t m = n.mask; m & 0x80000000u; m <<= 1) ++bits;
        text += (text.empty() ? "" : ", ") + AddressText(a) + "/" + std::to_string(bits);
    }
    return text.empty() ? "no one (this machine's subnets could not be found)" : "peers in " + text;
}

bool CDiscovery::Admit(const sockaddr_in& peer)
{
    const uint32_t address = ntohl(peer.sin_addr.s_addr);
    bool admitted = false;
    if (allowed_) {
        admitted = allowed_(AddressText(peer.sin_addr));
    } else {
        if (GetTickCount64() - subnetsMs_ >= kSubnetsMs) FindSubnets();
        for (const Subnet& n : subnets_) admitted = admitted || (address & n.mask) == n.address;
    }
    return admitted && budget_.Take(address, GetTickCount64());
}

void CDiscovery::Main()
{
    while (!stop_) {
        fd_set read;
        FD_ZERO(&read);
        if (hdhr_ != INVALID_SOCKET) FD_SET(hdhr_, &read);
        if (ssdp_ != INVALID_SOCKET) FD_SET(ssdp_, &read);
        timeval tv{0, kSliceUs};
        if (select(0, &read, nullptr, nullptr, &tv) <= 0) continue;
        // What answering a datagram throws (memory that ran out, say) costs
        // that answer, never the thread or tsserve.
        try {
            if (hdhr_ != INVALID_SOCKET && FD_ISSET(hdhr_, &read)) AnswerHdhr();
            if (ssdp_ != INVALID_SOCKET && FD_ISSET(ssdp_, &read)) AnswerSsdp();
        } catch (const std::exception& e) {
            log_.Line(std::string("fault in answering a discovery request (") + e.what() + "); not answered");
        }
    }
}

std::string CDiscovery::LocalAddress(const sockaddr_in& peer) const
{
    if (host_ != "0.0.0.0") return host_;
    // The address the system would send from to reach the peer.
    std::string local = "127.0.0.1";
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return local;
    sockaddr_in at{};
    int size = sizeof at;
    if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) == 0)
        local = AddressText(at.sin_addr);
    closesocket(s);
    return local;
}

std::string CDiscovery::DeviceBase(const std::string& local, const CNetworkTuner& device) const
{
    return "http://" + local + ":" + std::to_string(device.port);
}

void CDiscovery::AnswerHdhr()
{
    uint8_t packet[1500];
    sockaddr_in peer{};
    int size = sizeof peer;
    const int n = recvfrom(hdhr_, reinterpret_cast<char*>(packet), sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer),
                           &size);
    CHdhrDiscoverRequest request;
    if (n <= 0 || size != sizeof peer || !ParseHdhrDiscoverRequest(packet, static_cast<size_t>(n), request) ||
        !request.WantsTuner() || !Admit(peer))
        return;
    const std::string local = LocalAddress(peer);
    for (const CNetworkTuner* d : devices_) {
        if (!request.WantsId(d->id)) continue;
        CHdhrDeviceReply reply;
        reply.deviceId = d->id;
        reply.tunerCount = 1;
        reply.baseUrl = DeviceBase(local, *d);
        reply.lineupUrl = reply.baseUrl + "/lineup.json";
        reply.deviceAuth = "tsserve";
        const std::vector<uint8_t> out = HdhrDiscoverReply(reply);
        sendto(hdhr_, reinterpret_cast<const char*>(out.data()), static_cast<int>(out.size()), 0,
               reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    }
}

void CDiscovery::AnswerSsdp()
{
    char text[2048];
    sockaddr_in peer{};
    int size = sizeof peer;
    const int n = recvfrom(ssdp_, text, sizeof text, 0, reinterpret_cast<sockaddr*>(&peer), &size);
    if (n <= 0 || size != sizeof peer) return;
    const std::string search(text, static_cast<size_t>(n));
    // Searches for something else cost nothing.
    const auto any = [](const CNetworkTuner&) { return std::string(); };
    if (SsdpAnswers(search, devices_, any, version_).empty() || !Admit(peer)) return;
    const std::string local = LocalAddress(peer);
    const auto answers = SsdpAnswers(search, devices_,
                                     [&](const CNetworkTuner& d) { return DeviceBase(local, d) + "/device.xml"; },
                                     version_);
    for (const std::string& a : answers)
        sendto(ssdp_, a.data(), static_cast<int>(a.size()), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
}
