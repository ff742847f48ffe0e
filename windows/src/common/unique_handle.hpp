#pragma once
// Move-only owners of Win32 handles; one traits type per kind of handle.

#include <windows.h>

#include <utility>

namespace kestrune::win {

template <class Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, Traits::invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, Traits::invalid()));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] Handle get() const { return h_; }
    [[nodiscard]] bool valid() const { return h_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }
    [[nodiscard]] Handle release() { return std::exchange(h_, Traits::invalid()); }
    void reset(Handle h = Traits::invalid()) {
        if (valid()) Traits::close(h_);
        h_ = h;
    }

private:
    Handle h_ = Traits::invalid();
};

struct KernelHandleTraits {  // CreateEvent, CreateThread, ...: null when absent
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle h) { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE when absent
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
    static void close(Handle h) { ::CloseHandle(h); }
};

struct GdiObjectTraits {
    using Handle = HGDIOBJ;
    static Handle invalid() { return nullptr; }
    static void close(Handle h) { ::DeleteObject(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;

}  // namespace kestrune::win
