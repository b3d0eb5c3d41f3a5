#pragma once
// A worker thread object with a cooperative stop flag, and a variant that reports
// to a window.

#include <windows.h>

#include <atomic>

#include "win/unique_handle.h"

namespace qv {

// Neither copied nor moved (its stop flag is atomic): the running thread holds its address.
class CThread {
public:
    CThread() noexcept;
    virtual ~CThread();

    // Asks the running thread to stop at its next check point; does not wait.
    virtual void RequestStop() noexcept;
    // Asks to stop, waits for the thread without a time limit, releases its handle
    // and clears the stop flag.
    virtual void StopAndWait() noexcept;
    // The thread's work; its result becomes the thread's exit code.
    virtual int Run() { return 0; }
    // Called on the thread instead of finishing Run when Run throws (out of memory);
    // its result becomes the exit code. Nothing may leave the thread's entry.
    virtual int OnRunFailed() noexcept { return -1; }

    // Starts the thread (the caller checks IsStarted first). False when it could not
    // be created; the handle then stays null.
    [[nodiscard]] bool Start() noexcept;
    [[nodiscard]] bool IsStarted() const noexcept { return thread_handle_.valid(); }
    [[nodiscard]] bool IsStopRequested() const noexcept;
    // A manual-reset event set with the stop flag, for waits that a stop must end
    // (sockets); null when it could not be created, and then only the flag tells.
    [[nodiscard]] HANDLE StopEvent() const noexcept { return stop_event_.get(); }

protected:
    UniqueKernelHandle thread_handle_;
    // Set on the UI thread, read on the worker: set, cleared and read atomically.
    std::atomic<bool> stop_flag_{false};
    UniqueKernelHandle stop_event_;

private:
    static unsigned WINAPI ThreadEntry(void* self) noexcept;
};

class CThreadEx : public CThread {
public:
    // Set before Start; the thread only reads it.
    void SetNotifyWindow(HWND window) noexcept { notify_window_ = window; }
    // Posts only while the window still exists; the outcome is not examined.
    void PostToWindow(UINT message, WPARAM wparam, LPARAM lparam) const noexcept;

protected:
    HWND notify_window_ = nullptr;
};

}  // namespace qv
