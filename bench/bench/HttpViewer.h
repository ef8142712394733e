// A viewer of one of tsserve's streams on a plain socket, on a thread of its
// own: it counts the bytes it gets and, from the simulated plug-in's stamps
// (Stamp=1), how long each payload packet took from the plug-in to here.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CHttpViewer {
public:
    CHttpViewer(int port, std::string path) : port_(port), path_(std::move(path)) {}
    ~CHttpViewer() { Stop(); }
    CHttpViewer(const CHttpViewer&) = delete;
    CHttpViewer& operator=(const CHttpViewer&) = delete;

    bool Start();
    void Stop();
    // Starts a measurement window: the figures below count from here.
    void ResetFigures();

    struct Figures {
        uint64_t bytes = 0;
        uint64_t stamped = 0;
        double latencySumMs = 0;
        double latencyMaxMs = 0;
        bool ended = false;  // the server closed the connection
    };
    Figures Read() const;

private:
    void Main();
    void Packet(const uint8_t* p, double nowTicks);

    const int port_;
    const std::string path_;
    SOCKET socket_ = INVALID_SOCKET;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    Figures figures_;
    uint8_t partial_[188] = {};
    size_t partialSize_ = 0;
};
