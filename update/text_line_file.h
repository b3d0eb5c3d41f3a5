#pragma once
// Line-by-line reading and writing of the engine's text files (UTF-8, LF line ends).

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace qv {

// Move-only, as the file it owns.
class TextLineFile {
public:
    // Opens in untranslated byte mode: "rb" to read, "wb" to create or truncate.
    // Closes a file opened before.
    [[nodiscard]] bool Open(const wchar_t* path, const wchar_t* mode,
                            UINT code_page = CP_UTF8) noexcept;

    // Reads the next line without its line feed; a carriage return right before the
    // line feed is dropped. False at the end of the file or when none is open.
    // Invalid text is replaced, never dropped. Throws std::bad_alloc when memory runs out.
    [[nodiscard]] bool ReadLine(std::wstring& out);

    // Writes the text encoded in the file's code page followed by `terminator`. False
    // when no file is open, there is no text or the bytes were not all taken (a full
    // disk, a file not open for writing). Throws std::bad_alloc when memory runs out.
    [[nodiscard]] bool WriteLine(const wchar_t* text, char terminator = '\n');
    // Flushes what was written and closes the file. False when no file was open or the
    // flush or the close failed: the file may then be short.
    [[nodiscard]] bool Finish() noexcept;

    void Close() noexcept { file_.reset(); }
    [[nodiscard]] bool IsOpen() const noexcept { return file_ != nullptr; }

private:
    struct FileCloser {
        void operator()(FILE* f) const noexcept { std::fclose(f); }
    };
    static constexpr size_t kReadSize = 256;

    std::unique_ptr<FILE, FileCloser> file_;
    UINT code_page_ = CP_UTF8;
    char buffer_[kReadSize + 1] = {};
    // The part of `buffer_` not returned yet; it may be empty but present.
    bool has_window_ = false;
    size_t window_start_ = 0;
    size_t window_length_ = 0;
};

}  // namespace qv
