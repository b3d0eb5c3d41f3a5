#pragma once
// Messages of the publisher. Errors and warnings go to stderr, everything else to
// stdout: as UTF-16 on a console, as UTF-8 when redirected. A progress line is shown
// only on long runs: rewritten in place on a console, as a line now and then otherwise.

#include <windows.h>

#include <cstddef>
#include <string>

namespace qv::publish {

class Log {
public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    virtual ~Log() = default;

    // A problem that makes the run fail; counted.
    void Error(const std::wstring& text);
    // Something the vendor should know that does not stop the run; counted.
    void Warning(const std::wstring& text);
    void Info(const std::wstring& text);
    // Where a long run stands; the log decides whether and how often to show it.
    void Progress(const std::wstring& text);

    [[nodiscard]] size_t ErrorCount() const noexcept { return errors_; }
    [[nodiscard]] size_t WarningCount() const noexcept { return warnings_; }

protected:
    enum class Kind { kError, kWarning, kInfo, kProgress };
    virtual void Write(Kind kind, const std::wstring& text) = 0;

private:
    size_t errors_ = 0;
    size_t warnings_ = 0;
};

// The log of the command-line tool.
class ConsoleLog final : public Log {
public:
    ConsoleLog() noexcept;
    ~ConsoleLog() override;
    // No progress lines at all (--quiet).
    void SetQuiet(bool quiet) noexcept { quiet_ = quiet; }

protected:
    void Write(Kind kind, const std::wstring& text) override;

private:
    struct Stream {
        HANDLE handle = nullptr;  // borrowed from the process, never closed
        bool console = false;
    };
    static void Put(const Stream& stream, const std::wstring& text);
    void ClearProgress();

    Stream out_;
    Stream err_;
    bool quiet_ = false;
    bool progress_shown_ = false;  // a progress line stands on the console
    size_t progress_width_ = 0;
    ULONGLONG start_ms_ = 0;
    ULONGLONG last_progress_ms_ = 0;
};

// Keeps every message in memory, each line prefixed with its kind; for tests.
class MemoryLog final : public Log {
public:
    std::wstring text;

protected:
    void Write(Kind kind, const std::wstring& line) override;
};

}  // namespace qv::publish
