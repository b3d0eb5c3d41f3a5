#include "delta/mapped_file.h"

namespace qv::delta {

bool MappedFile::Map(DWORD protect, DWORD access) noexcept {
    if (size_ == 0) {
        return true;  // nothing to map; CreateFileMapping refuses empty files
    }
    if (size_ > static_cast<uint64_t>(SIZE_MAX)) {
        return false;
    }
    mapping_.reset(CreateFileMappingW(file_.get(), nullptr, protect,
                                      static_cast<DWORD>(size_ >> 32), static_cast<DWORD>(size_),
                                      nullptr));
    if (!mapping_) {
        return false;
    }
    view_.reset(MapViewOfFile(mapping_.get(), access, 0, 0, static_cast<SIZE_T>(size_)));
    return view_.valid();
}

bool MappedFile::OpenRead(const wchar_t* path, uint64_t max_size) noexcept {
    Close();
    file_.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file_ || !GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > max_size) {
        Close();
        return false;
    }
    size_ = static_cast<uint64_t>(size.QuadPart);
    if (!Map(PAGE_READONLY, FILE_MAP_READ)) {
        Close();
        return false;
    }
    return true;
}

bool MappedFile::CreateWrite(const wchar_t* path, uint64_t size) noexcept {
    Close();
    file_.reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        return false;
    }
    size_ = size;
    writable_ = true;
    // The mapping sets the file's size; an empty file needs none.
    if (!Map(PAGE_READWRITE, FILE_MAP_WRITE)) {
        Close();
        DeleteFileW(path);
        return false;
    }
    return true;
}

void MappedFile::Close() noexcept {
    view_.reset();
    mapping_.reset();
    file_.reset();
    size_ = 0;
    writable_ = false;
}

}  // namespace qv::delta
