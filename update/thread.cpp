#include "update/thread.h"

#include <process.h>

namespace qv {

CThread::~CThread() {
    StopAndWait();
}

void CThread::RequestStop() noexcept {
    InterlockedExchange(&stop_flag, 1);
}

void CThread::StopAndWait() noexcept {
    RequestStop();
    if (thread_handle) {
        WaitForSingleObject(thread_handle.get(), INFINITE);
        thread_handle.reset();
    }
    stop_flag = 0;
}

bool CThread::IsStopRequested() const noexcept {
    return stop_flag != 0;
}

unsigned __stdcall CThread::ThreadEntry(void* self) {
    return static_cast<unsigned>(static_cast<CThread*>(self)->Run());
}

bool CThread::Start() noexcept {
    // The C runtime's thread start, so that the runtime is set up for the thread.
    const uintptr_t handle = _beginthreadex(nullptr, 0, &CThread::ThreadEntry, this, 0, nullptr);
    thread_handle.reset(reinterpret_cast<HANDLE>(handle));
    return thread_handle.valid();
}

void CThreadEx::PostToWindow(UINT message, WPARAM wparam, LPARAM lparam) const noexcept {
    if (notify_window != nullptr && IsWindow(notify_window)) {
        PostMessageW(notify_window, message, wparam, lparam);
    }
}

}  // namespace qv
