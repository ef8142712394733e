// A first-in-first-out queue of owned stream buffers that never allocates:
// its slots are laid out with it, so that running out of memory on the stream
// path drops data rather than throwing. It counts its entries and their bytes,
// and the stream's rule for a consumer that falls behind reads both.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

// Each queue is emptied when it holds more than this many entries as new data
// arrives: the consumer has fallen behind and only the newest data counts.
constexpr size_t kQueueLimit = 1000;

template <typename Ptr>
class CTsQueue {
public:
    // byteLimit: the queue is also emptied when it holds more bytes than
    // this as new data arrives, so that it cannot take the address space.
    explicit CTsQueue(size_t byteLimit) : byteLimit_(byteLimit) {}
    CTsQueue(const CTsQueue&) = delete;
    CTsQueue& operator=(const CTsQueue&) = delete;

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t bytes() const { return bytes_; }
    // True when the consumer is half way to the limits: a producer that can
    // wait should let it catch up.
    bool Deep() const { return count_ > kQueueLimit / 2 || bytes_ > byteLimit_ / 2; }
    // True when the consumer has fallen too far behind for new data to join.
    bool Overfull() const { return count_ > kQueueLimit || bytes_ > byteLimit_; }

    // Applies the rule first, so the queue always has room.
    void PushBack(Ptr p, uint32_t n)
    {
        if (Overfull()) clear();
        Slot& s = slots_[(head_ + count_) % kCapacity];
        s.p = std::move(p);
        s.bytes = n;
        ++count_;
        bytes_ += n;
    }
    // Null when empty.
    Ptr PopFront()
    {
        if (!count_) return Ptr(nullptr, typename Ptr::deleter_type{});
        Slot& s = slots_[head_];
        Ptr p = std::move(s.p);
        bytes_ -= s.bytes;
        head_ = (head_ + 1) % kCapacity;
        --count_;
        return p;
    }
    void clear()
    {
        while (count_) PopFront();
        head_ = 0;
    }

private:
    // The rule empties the queue before it would hold more than one entry
    // past the limit.
    static constexpr size_t kCapacity = kQueueLimit + 1;
    struct Slot {
        Ptr p{nullptr, typename Ptr::deleter_type{}};
        uint32_t bytes = 0;
    };
    std::array<Slot, kCapacity> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
    size_t bytes_ = 0;
    size_t byteLimit_;
};
