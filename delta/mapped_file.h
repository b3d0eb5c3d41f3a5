#pragma once
// A whole file mapped into memory, read-only or (for a new file of a known size)
// writable. Mapped pages belong to the file, not to the process's private memory, so
// a reference or an output of any size costs no heap.

#include <windows.h>

#include <cstdint>

#include "win/unique_handle.h"

namespace qv::delta {

class MappedFile {
public:
    MappedFile() noexcept = default;

    // Maps an existing file for reading. An empty file is valid and has no view.
    // False when it cannot be opened or mapped, or is larger than `max_size`.
    [[nodiscard]] bool OpenRead(const wchar_t* path, uint64_t max_size) noexcept;
    // Creates `path` (which must not exist) with exactly `size` bytes and maps it
    // for writing. False when it cannot; a file it created is then removed.
    [[nodiscard]] bool CreateWrite(const wchar_t* path, uint64_t size) noexcept;
    // Unmaps and closes.
    void Close() noexcept;

    [[nodiscard]] const uint8_t* data() const noexcept {
        return static_cast<const uint8_t*>(view_.get());
    }
    [[nodiscard]] uint8_t* writable_data() const noexcept {
        return writable_ ? static_cast<uint8_t*>(const_cast<void*>(view_.get())) : nullptr;
    }
    [[nodiscard]] uint64_t size() const noexcept { return size_; }

private:
    [[nodiscard]] bool Map(DWORD protect, DWORD access) noexcept;

    UniqueFileHandle file_;
    UniqueKernelHandle mapping_;
    UniqueMappedView view_;
    uint64_t size_ = 0;
    bool writable_ = false;
};

}  // namespace qv::delta
