#pragma once
// Move-only owners for Win32 handles. One template; a traits type per kind says
// what "no handle" is and how to release one. Releasing keeps the caller's
// GetLastError() intact, because callers read it after failures.

#include <windows.h>

#include <utility>

namespace qv {

template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer value) noexcept : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    [[nodiscard]] pointer get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    void reset(pointer value = Traits::Invalid()) noexcept {
        pointer old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            const DWORD saved_error = GetLastError();
            Traits::Close(old);
            SetLastError(saved_error);
        }
    }

    // For APIs that return the handle through an out parameter.
    [[nodiscard]] pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::Invalid();
};

struct KernelHandleTraits {  // events, mutexes, threads, processes, mappings
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW and Toolhelp snapshots fail with INVALID_HANDLE_VALUE
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};

struct MappedViewTraits {
    using pointer = const void*;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer p) noexcept { ::UnmapViewOfFile(p); }
};

struct ProcessHeapBlockTraits {
    using pointer = void*;
    static pointer Invalid() noexcept { return nullptr; }
    static void Close(pointer p) noexcept { ::HeapFree(::GetProcessHeap(), 0, p); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueMappedView = UniqueHandle<MappedViewTraits>;
using UniqueHeapBlock = UniqueHandle<ProcessHeapBlockTraits>;

}  // namespace qv
