#pragma once
// Line-by-line reading and writing of the engine's text files (UTF-8, LF line ends).

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace qv {

class TextLineFile {
public:
    TextLineFile() = default;
    TextLineFile(const TextLineFile&) = delete;
    TextLineFile& operator=(const TextLineFile&) = delete;

    // Opens in untranslated byte mode: "rb" to read, "wb" to create or truncate.
    // Closes a file opened before.
    bool Open(const wchar_t* path, const wchar_t* mode, UINT code_page = CP_UTF8);

    // Reads the next line without its line feed; a carriage return right before the
    // line feed is dropped. False at the end of the file or when none is open.
    bool ReadLine(std::wstring& out);

    // Writes the text encoded in the file's code page followed by `terminator`.
    bool WriteLine(const wchar_t* text, char terminator = '\n');

    void Close() noexcept { file.reset(); }
    [[nodiscard]] bool IsOpen() const noexcept { return file != nullptr; }

private:
    struct FileCloser {
        void operator()(FILE* f) const noexcept { std::fclose(f); }
    };
    static constexpr size_t kReadSize = 256;

    std::unique_ptr<FILE, FileCloser> file;
    UINT code_page = CP_UTF8;
    char buffer[kReadSize + 1] = {};
    // The part of `buffer` not returned yet; it may be empty but present.
    bool has_window = false;
    size_t window_start = 0;
    size_t window_length = 0;
};

// Converts between UTF-16 and a code page; invalid input is replaced, never dropped.
std::wstring DecodeText(const char* bytes, size_t length, UINT code_page = CP_UTF8);
std::string EncodeText(const wchar_t* text, size_t length, UINT code_page = CP_UTF8);

}  // namespace qv
