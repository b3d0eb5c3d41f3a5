#pragma once
// A worker thread object with a cooperative stop flag, and a variant that reports
// to a window.

#include <windows.h>

#include "win/unique_handle.h"

namespace qv {

class CThread {
public:
    CThread() = default;
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Asks the running thread to stop at its next check point; does not wait.
    virtual void RequestStop() noexcept;
    // Asks to stop, waits for the thread without a time limit, releases its handle
    // and clears the stop flag.
    virtual void StopAndWait() noexcept;
    // The thread's work; its result becomes the thread's exit code.
    virtual int Run() { return 0; }

    // Starts the thread (the caller checks IsStarted first). False when it could not
    // be created; the handle then stays null.
    bool Start() noexcept;
    [[nodiscard]] bool IsStarted() const noexcept { return thread_handle.valid(); }
    [[nodiscard]] bool IsStopRequested() const noexcept;

protected:
    UniqueKernelHandle thread_handle;
    volatile LONG stop_flag = 0;

private:
    static unsigned __stdcall ThreadEntry(void* self);
};

class CThreadEx : public CThread {
public:
    // Set before Start; the thread only reads it.
    void SetNotifyWindow(HWND window) noexcept { notify_window = window; }
    // Posts only while the window still exists; the outcome is not examined.
    void PostToWindow(UINT message, WPARAM wparam, LPARAM lparam) const noexcept;

protected:
    HWND notify_window = nullptr;
};

}  // namespace qv
