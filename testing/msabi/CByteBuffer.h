// A growable byte buffer on the process heap, for DLLs without a C++
// standard library.
#pragma once
#include <stddef.h>
#include <stdint.h>

class CByteBuffer {
public:
    CByteBuffer() = default;
    ~CByteBuffer();
    CByteBuffer(const CByteBuffer&) = delete;
    CByteBuffer& operator=(const CByteBuffer&) = delete;

    uint8_t* Data() { return data_ + head_; }
    size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    // Grows or shrinks to `size` bytes; new bytes are not set. False (and
    // unchanged) when memory runs out.
    bool Resize(size_t size);
    void Clear() { size_ = head_ = 0; }
    // Removes the first n bytes. They are skipped, and moved over only once as
    // many have been skipped as remain: a queue taken from its front a block
    // at a time costs a copy per byte, not per block.
    void EraseFront(size_t n);
    // Becomes a copy of n bytes at `from`.
    bool Assign(const uint8_t* from, size_t n);

private:
    uint8_t* data_ = nullptr;
    size_t head_ = 0;  // bytes skipped at the front of data_
    size_t size_ = 0;
    size_t capacity_ = 0;
};
