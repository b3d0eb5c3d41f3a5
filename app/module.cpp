#include "app/module.h"

#include <algorithm>
#include <new>
#include <utility>

namespace qv {

CAppModule g_module;

namespace {

template <typename T>
bool Append(std::vector<T*>& list, T* entry) noexcept {
    try {
        list.push_back(entry);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

template <typename T>
void RemoveFirst(std::vector<T*>& list, T* entry) noexcept {
    const auto found = std::find(list.begin(), list.end(), entry);
    if (found != list.end()) {
        list.erase(found);
    }
}

}  // namespace

bool CMessageLoop::FilterMessage(MSG* message) {
    for (auto filter = filters_.rbegin(); filter != filters_.rend(); ++filter) {
        if (*filter != nullptr && (*filter)->FilterMessage(message)) {
            return true;
        }
    }
    return false;
}

bool CMessageLoop::RunIdleHandlers(int /*idle_count*/) {
    for (CIdleHandler* handler : idle_handlers_) {
        if (handler != nullptr) {
            handler->DoIdleWork();
        }
    }
    return false;
}

bool CMessageLoop::RegisterFilter(CMessageFilter* filter) noexcept {
    return Append(filters_, filter);
}

bool CMessageLoop::RegisterIdleHandler(CIdleHandler* handler) noexcept {
    return Append(idle_handlers_, handler);
}

void CMessageLoop::UnregisterFilter(CMessageFilter* filter) noexcept {
    RemoveFirst(filters_, filter);
}

void CMessageLoop::UnregisterIdleHandler(CIdleHandler* handler) noexcept {
    RemoveFirst(idle_handlers_, handler);
}

bool CMessageLoop::RearmsIdle(UINT message) noexcept {
    constexpr UINT kCaretBlinkTimer = 0x0118;
    switch (message) {
        case WM_MOUSEMOVE:
        case WM_NCMOUSEMOVE:
        case WM_PAINT:
        case kCaretBlinkTimer:
            return false;
        default:
            return true;
    }
}

int CMessageLoop::RunLoop() {
    bool idle = true;
    int idle_count = 0;
    for (;;) {
        while (idle && !PeekMessageW(&current_message_, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!RunIdleHandlers(idle_count++)) {
                idle = false;
            }
        }
        const BOOL got = GetMessageW(&current_message_, nullptr, 0, 0);
        if (got == -1) {
            continue;  // nothing was fetched; try again
        }
        if (got == 0) {
            return static_cast<int>(current_message_.wParam);
        }
        if (!FilterMessage(&current_message_)) {
            TranslateMessage(&current_message_);
            DispatchMessageW(&current_message_);
        }
        if (RearmsIdle(current_message_.message)) {
            idle = true;
            idle_count = 0;
        }
    }
}

void CAppModule::Initialise(HINSTANCE module_instance) noexcept {
    if (initialised_) {
        return;
    }
    instance_ = module_instance;
    initialised_ = true;
}

void CAppModule::Shutdown() noexcept {
    if (std::exchange(initialised_, false)) {
        loops_.clear();
        loops_.shrink_to_fit();
    }
}

bool CAppModule::RegisterLoop(CMessageLoop* loop) noexcept {
    if (!initialised_ || loop == nullptr) {
        return false;
    }
    const LockGuard guard(lock_);
    const DWORD thread = GetCurrentThreadId();
    for (const auto& entry : loops_) {
        if (entry.first == thread) {
            return false;  // one loop per thread
        }
    }
    try {
        loops_.emplace_back(thread, loop);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void CAppModule::UnregisterLoop() noexcept {
    if (!initialised_) {
        return;
    }
    const LockGuard guard(lock_);
    const DWORD thread = GetCurrentThreadId();
    loops_.erase(std::remove_if(loops_.begin(), loops_.end(),
                                [thread](const auto& entry) { return entry.first == thread; }),
                 loops_.end());
}

CMessageLoop* CAppModule::FindLoop() noexcept {
    if (!initialised_) {
        return nullptr;
    }
    const LockGuard guard(lock_);
    const DWORD thread = GetCurrentThreadId();
    for (const auto& entry : loops_) {
        if (entry.first == thread) {
            return entry.second;
        }
    }
    return nullptr;
}

}  // namespace qv
