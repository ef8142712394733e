// Small owners for Win32 handles, so that no early return leaks one.
#pragma once
#include <windows.h>
#include <utility>

template <typename Traits>
class CUniqueHandle {
public:
    using Handle = typename Traits::Handle;
    CUniqueHandle() = default;
    explicit CUniqueHandle(Handle h) : h_(h) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& o) noexcept : h_(std::exchange(o.h_, Traits::Invalid())) {}
    CUniqueHandle& operator=(CUniqueHandle&& o) noexcept
    {
        if (this != &o) { Reset(); h_ = std::exchange(o.h_, Traits::Invalid()); }
        return *this;
    }
    Handle Get() const { return h_; }
    explicit operator bool() const { return h_ != Traits::Invalid(); }
    Handle Release() { return std::exchange(h_, Traits::Invalid()); }
    void Reset(Handle h = Traits::Invalid())
    {
        if (h_ != Traits::Invalid()) Traits::Close(h_);
        h_ = h;
    }

private:
    Handle h_ = Traits::Invalid();
};

struct KernelHandleTraits {   // events, threads, processes, mutexes; null when absent
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};
struct FileHandleTraits {     // CreateFile and CreateNamedPipe: INVALID_HANDLE_VALUE when absent
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { FindClose(h); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};
struct HeapTraits {          // HeapCreate: destroying it frees every block on it
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { HeapDestroy(h); }
};

using CHandle = CUniqueHandle<KernelHandleTraits>;
using CFileHandle = CUniqueHandle<FileHandleTraits>;
using CFindHandle = CUniqueHandle<FindHandleTraits>;
using CModule = CUniqueHandle<ModuleTraits>;
using CHeap = CUniqueHandle<HeapTraits>;
