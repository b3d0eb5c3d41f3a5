#include "tools/publish/log.h"

#include "win/text.h"

namespace qv::publish {

namespace {

// A run shorter than this shows no progress at all.
constexpr ULONGLONG kFirstProgressMs = 1000;
// How often the line is rewritten on a console, and repeated in a redirected stream.
constexpr ULONGLONG kConsoleProgressMs = 250;
constexpr ULONGLONG kRedirectedProgressMs = 5000;

}  // namespace

void Log::Error(const std::wstring& text) {
    ++errors_;
    Write(Kind::kError, text);
}

void Log::Warning(const std::wstring& text) {
    ++warnings_;
    Write(Kind::kWarning, text);
}

void Log::Info(const std::wstring& text) {
    Write(Kind::kInfo, text);
}

void Log::Progress(const std::wstring& text) {
    Write(Kind::kProgress, text);
}

ConsoleLog::ConsoleLog() noexcept {
    DWORD mode = 0;
    out_.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    out_.console = GetConsoleMode(out_.handle, &mode) != 0;
    err_.handle = GetStdHandle(STD_ERROR_HANDLE);
    err_.console = GetConsoleMode(err_.handle, &mode) != 0;
    start_ms_ = GetTickCount64();
}

ConsoleLog::~ConsoleLog() {
    ClearProgress();
}

void ConsoleLog::Put(const Stream& stream, const std::wstring& text) {
    if (stream.handle == nullptr || stream.handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD written = 0;
    if (stream.console) {
        WriteConsoleW(stream.handle, text.data(), static_cast<DWORD>(text.size()), &written,
                      nullptr);
        return;
    }
    const std::string bytes = EncodeText(text);
    WriteFile(stream.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ConsoleLog::ClearProgress() {
    if (progress_shown_) {
        Put(err_, L"\r" + std::wstring(progress_width_, L' ') + L"\r");
        progress_shown_ = false;
    }
}

void ConsoleLog::Write(Kind kind, const std::wstring& text) {
    if (kind == Kind::kProgress) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG interval = err_.console ? kConsoleProgressMs : kRedirectedProgressMs;
        if (quiet_ || now - start_ms_ < kFirstProgressMs ||
            (last_progress_ms_ != 0 && now - last_progress_ms_ < interval)) {
            return;
        }
        last_progress_ms_ = now;
        if (err_.console) {
            // Pad over the rest of a longer previous line.
            std::wstring line = L"\r" + text;
            if (text.size() < progress_width_) {
                line.append(progress_width_ - text.size(), L' ');
            }
            progress_width_ = text.size();
            Put(err_, line);
            progress_shown_ = true;
        } else {
            Put(err_, text + L"\n");
        }
        return;
    }
    ClearProgress();
    switch (kind) {
        case Kind::kError:
            Put(err_, L"error: " + text + L"\n");
            break;
        case Kind::kWarning:
            Put(err_, L"warning: " + text + L"\n");
            break;
        default:
            Put(out_, text + L"\n");
            break;
    }
}

void MemoryLog::Write(Kind kind, const std::wstring& line) {
    switch (kind) {
        case Kind::kError:
            text += L"error: ";
            break;
        case Kind::kWarning:
            text += L"warning: ";
            break;
        case Kind::kProgress:
            text += L"progress: ";
            break;
        case Kind::kInfo:
            break;
    }
    text += line;
    text += L'\n';
}

}  // namespace qv::publish
