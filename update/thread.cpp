#include "update/thread.h"

#include <process.h>

namespace qv {

CThread::CThread() noexcept : stop_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CThread::~CThread() {
    StopAndWait();
}

void CThread::RequestStop() noexcept {
    stop_flag_.exchange(true);
    if (stop_event_) {
        SetEvent(stop_event_.get());
    }
}

void CThread::StopAndWait() noexcept {
    RequestStop();
    if (thread_handle_) {
        WaitForSingleObject(thread_handle_.get(), INFINITE);
        thread_handle_.reset();
    }
    stop_flag_.exchange(false);
    if (stop_event_) {
        ResetEvent(stop_event_.get());
    }
}

bool CThread::IsStopRequested() const noexcept {
    return stop_flag_.load();
}

unsigned WINAPI CThread::ThreadEntry(void* self) noexcept {
    CThread& thread = *static_cast<CThread*>(self);
    try {
        return static_cast<unsigned>(thread.Run());
    } catch (...) {
        return static_cast<unsigned>(thread.OnRunFailed());
    }
}

bool CThread::Start() noexcept {
    // The C runtime's thread start, so that the runtime is set up for the thread.
    const uintptr_t handle = _beginthreadex(nullptr, 0, &CThread::ThreadEntry, this, 0, nullptr);
    thread_handle_.reset(reinterpret_cast<HANDLE>(handle));
    return thread_handle_.valid();
}

void CThreadEx::PostToWindow(UINT message, WPARAM wparam, LPARAM lparam) const noexcept {
    if (notify_window_ != nullptr && IsWindow(notify_window_)) {
        PostMessageW(notify_window_, message, wparam, lparam);
    }
}

}  // namespace qv
