#pragma once
// Move-only owners for Win32 handles. One template; each kind is one line that names
// the handle type, its "no handle" value and its close function:
//     using UniqueKernelHandle = UniqueHandle<HANDLE, nullptr, CloseHandle>;
// Releasing keeps the caller's GetLastError() intact, because callers read it after
// failures. A traits type (pointer, Invalid(), Close()) in place of the three is
// accepted too, for a kind that needs more than a line.

#include <windows.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace qv {

// INVALID_HANDLE_VALUE as a template argument: the macro is a cast, never a constant
// expression, so kinds that fail with it (files, Toolhelp snapshots, find handles)
// name its bits instead.
inline constexpr std::intptr_t kInvalidHandleValue = -1;

namespace detail {

// A kind described by its type, empty value and close function. The close function's
// result, if any, is dropped: an owner has nobody to report it to.
template <typename Handle, auto Empty, auto CloseFunction>
struct HandleKind {
    using pointer = Handle;
    static pointer Invalid() noexcept {
        if constexpr (std::is_pointer_v<Handle> && std::is_integral_v<decltype(Empty)>) {
            return reinterpret_cast<Handle>(static_cast<std::intptr_t>(Empty));
        } else {
            return static_cast<Handle>(Empty);
        }
    }
    static void Close(pointer value) noexcept { static_cast<void>(CloseFunction(value)); }
};

template <typename Handle, auto... Kind>
struct HandleTraitsOf {
    using type = HandleKind<Handle, Kind...>;
};
template <typename Traits>
struct HandleTraitsOf<Traits> {
    using type = Traits;
};

}  // namespace detail

template <typename Handle, auto... Kind>
class UniqueHandle {
    using Traits = typename detail::HandleTraitsOf<Handle, Kind...>::type;

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

// HeapFree needs the heap as well as the block.
inline BOOL FreeProcessHeapBlock(void* block) noexcept {
    return ::HeapFree(::GetProcessHeap(), 0, block);
}

// Events, mutexes, threads, processes, mappings.
using UniqueKernelHandle = UniqueHandle<HANDLE, nullptr, ::CloseHandle>;
// CreateFileW and Toolhelp snapshots fail with INVALID_HANDLE_VALUE.
using UniqueFileHandle = UniqueHandle<HANDLE, kInvalidHandleValue, ::CloseHandle>;
using UniqueFindHandle = UniqueHandle<HANDLE, kInvalidHandleValue, ::FindClose>;
using UniqueMappedView = UniqueHandle<const void*, nullptr, ::UnmapViewOfFile>;
using UniqueHeapBlock = UniqueHandle<void*, nullptr, FreeProcessHeapBlock>;

}  // namespace qv
