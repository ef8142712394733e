#include "CByteBuffer.h"

#include "Kernel32.h"

CByteBuffer::~CByteBuffer()
{
    if (data_) HeapFree(GetProcessHeap(), 0, data_);
}

bool CByteBuffer::Resize(size_t size)
{
    if (head_ + size > capacity_ && head_) {
        __builtin_memmove(data_, data_ + head_, size_ < size ? size_ : size);
        head_ = 0;
    }
    if (size > capacity_) {
        size_t capacity = capacity_ ? capacity_ : 4096;
        while (capacity < size) capacity *= 2;
        void* p = data_ ? HeapReAlloc(GetProcessHeap(), 0, data_, capacity) : HeapAlloc(GetProcessHeap(), 0, capacity);
        if (!p) return false;
        data_ = static_cast<uint8_t*>(p);
        capacity_ = capacity;
    }
    size_ = size;
    return true;
}

void CByteBuffer::EraseFront(size_t n)
{
    if (n >= size_) {
        Clear();
        return;
    }
    head_ += n;
    size_ -= n;
    if (head_ >= size_) {
        __builtin_memmove(data_, data_ + head_, size_);
        head_ = 0;
    }
}

bool CByteBuffer::Assign(const uint8_t* from, size_t n)
{
    head_ = 0;
    if (!Resize(n)) return false;
    if (n) __builtin_memcpy(data_, from, n);
    return true;
}
