#include "update/text_line_file.h"

#include <climits>
#include <cstring>

namespace qv {

std::wstring DecodeText(const char* bytes, size_t length, UINT code_page) {
    std::wstring out;
    if (length == 0 || length > INT_MAX) {
        return out;
    }
    const int count =
        MultiByteToWideChar(code_page, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (count > 0) {
        out.resize(static_cast<size_t>(count));
        MultiByteToWideChar(code_page, 0, bytes, static_cast<int>(length), out.data(), count);
    }
    return out;
}

std::string EncodeText(const wchar_t* text, size_t length, UINT code_page) {
    std::string out;
    if (length == 0 || length > INT_MAX) {
        return out;
    }
    const int count = WideCharToMultiByte(code_page, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    if (count > 0) {
        out.resize(static_cast<size_t>(count));
        WideCharToMultiByte(code_page, 0, text, static_cast<int>(length), out.data(), count,
                            nullptr, nullptr);
    }
    return out;
}

bool TextLineFile::Open(const wchar_t* path, const wchar_t* mode, UINT page) {
    Close();
    has_window = false;
    window_start = window_length = 0;
    code_page = page;
    if (path == nullptr || mode == nullptr) {
        return false;
    }
    file.reset(_wfopen(path, mode));
    return IsOpen();
}

bool TextLineFile::ReadLine(std::wstring& out) {
    out.clear();
    if (!file) {
        return false;
    }
    std::string line;
    bool data_seen = false;
    bool ended_at_line_feed = false;
    for (;;) {
        if (has_window) {
            data_seen = true;
            const char* window = buffer + window_start;
            const void* found = std::memchr(window, '\n', window_length);
            if (found != nullptr) {
                const size_t before = static_cast<size_t>(static_cast<const char*>(found) - window);
                line.append(window, before);
                if (before + 1 < window_length) {
                    window_start += before + 1;
                    window_length -= before + 1;
                } else {
                    has_window = false;
                }
                ended_at_line_feed = true;
                break;
            }
            line.append(window, window_length);
            has_window = false;
        }
        if (std::feof(file.get()) || std::ferror(file.get())) {  // an error ends it too
            break;
        }
        const size_t read = std::fread(buffer, 1, kReadSize, file.get());
        buffer[read] = '\0';
        has_window = true;
        window_start = 0;
        window_length = read;
    }
    // The carriage return may have come in an earlier block than the line feed.
    if (ended_at_line_feed && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (!data_seen) {
        return false;
    }
    out = DecodeText(line.data(), line.size(), code_page);
    return true;
}

bool TextLineFile::WriteLine(const wchar_t* text, char terminator) {
    if (!file || text == nullptr) {
        return false;
    }
    std::string bytes = EncodeText(text, std::wcslen(text), code_page);
    bytes.push_back(terminator);
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    return true;
}

}  // namespace qv
