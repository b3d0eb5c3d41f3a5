#include "update/text_line_file.h"

#include <cstring>

#include "win/text.h"

namespace qv {

bool TextLineFile::Open(const wchar_t* path, const wchar_t* mode, UINT page) noexcept {
    Close();
    has_window_ = false;
    window_start_ = window_length_ = 0;
    code_page_ = page;
    if (path == nullptr || mode == nullptr) {
        return false;
    }
    file_.reset(_wfopen(path, mode));
    return IsOpen();
}

bool TextLineFile::ReadLine(std::wstring& out) {
    out.clear();
    if (!file_) {
        return false;
    }
    std::string line;
    bool data_seen = false;
    bool ended_at_line_feed = false;
    for (;;) {
        if (has_window_) {
            data_seen = true;
            const char* window = buffer_ + window_start_;
            const void* found = std::memchr(window, '\n', window_length_);
            if (found != nullptr) {
                const size_t before = static_cast<size_t>(static_cast<const char*>(found) - window);
                line.append(window, before);
                if (before + 1 < window_length_) {
                    window_start_ += before + 1;
                    window_length_ -= before + 1;
                } else {
                    has_window_ = false;
                }
                ended_at_line_feed = true;
                break;
            }
            line.append(window, window_length_);
            has_window_ = false;
        }
        if (std::feof(file_.get()) || std::ferror(file_.get())) {  // an error ends it too
            break;
        }
        const size_t read = std::fread(buffer_, 1, kReadSize, file_.get());
        buffer_[read] = '\0';
        has_window_ = true;
        window_start_ = 0;
        window_length_ = read;
    }
    // The carriage return may have come in an earlier block than the line feed.
    if (ended_at_line_feed && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (!data_seen) {
        return false;
    }
    out = DecodeText(line, code_page_);
    return true;
}

bool TextLineFile::WriteLine(const wchar_t* text, char terminator) {
    if (!file_ || text == nullptr) {
        return false;
    }
    std::string bytes = EncodeText(text, code_page_);
    bytes.push_back(terminator);
    return std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
}

bool TextLineFile::Finish() noexcept {
    if (!file_) {
        return false;
    }
    const bool flushed = std::fflush(file_.get()) == 0 && std::ferror(file_.get()) == 0;
    return std::fclose(file_.release()) == 0 && flushed;
}

}  // namespace qv
