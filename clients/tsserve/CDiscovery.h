// How media servers find the network tuners by themselves: HDHomeRun's
// discovery (UDP port 65001: a request is answered with each device's ID,
// tuner count, base URL and lineup URL) and SSDP (UDP port 1900: an M-SEARCH
// is answered with where each device's device.xml is). Both on the IPv4
// address tsserve listens on; replies go to the asker alone, and nothing is
// sent unasked. Only peers tsserve serves are answered (--allow's, or
// without it those of the listening address's own subnets), each at a
// bounded rate (CReplyBudget): a forged source address gets little.
#pragma once
#include "NetworkTuner.h"
#include "ReplyBudget.h"

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class CEventLog;

class CDiscovery {
public:
    // allowed: whether a peer's address may be answered (--allow); empty:
    // the peers of the listening address's own subnets (127.0.0.0/8 for a
    // loopback address, every interface's subnet for 0.0.0.0).
    CDiscovery(std::string host, std::vector<const CNetworkTuner*> devices, std::string version,
               std::function<bool(const std::string&)> allowed, CEventLog& log);
    ~CDiscovery();
    CDiscovery(const CDiscovery&) = delete;
    CDiscovery& operator=(const CDiscovery&) = delete;

    // Binds what it can and says so in the log; discovery that cannot be
    // had (a port in use) is left out, and tsserve serves on.
    void Start();
    void Stop();

private:
    void Main();
    void AnswerHdhr();
    void AnswerSsdp();
    // The address the peer reaches us at, for the URLs in a reply.
    std::string LocalAddress(const sockaddr_in& peer) const;
    std::string DeviceBase(const std::string& local, const CNetworkTuner& device) const;
    SOCKET Bind(uint16_t port, bool shared);
    // Whether the peer may be answered now.
    bool Admit(const sockaddr_in& peer);
    // The subnets answered without --allow, found again now and then (an
    // interface's address may change).
    void FindSubnets();
    std::string SubnetsText() const;

    struct Subnet {
        uint32_t address, mask;  // host order
    };

    const std::string host_;
    const std::vector<const CNetworkTuner*> devices_;
    const std::string version_;
    const std::function<bool(const std::string&)> allowed_;
    CEventLog& log_;
    bool winsock_ = false;
    SOCKET hdhr_ = INVALID_SOCKET;
    SOCKET ssdp_ = INVALID_SOCKET;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    // The discovery thread's.
    std::vector<Subnet> subnets_;
    unsigned long long subnetsMs_ = 0;
    CReplyBudget budget_;
};

// The SSDP answers to an M-SEARCH for these devices: none when the text is
// no M-SEARCH or asks for something else. location(device): its device.xml.
std::vector<std::string> SsdpAnswers(const std::string& search, const std::vector<const CNetworkTuner*>& devices,
                                     const std::function<std::string(const CNetworkTuner&)>& location,
                                     const std::string& version);
