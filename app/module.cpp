#include "app/module.h"

#include <algorithm>
#include <new>

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
    for (auto filter = filters.rbegin(); filter != filters.rend(); ++filter) {
        if (*filter != nullptr && (*filter)->FilterMessage(message)) {
            return true;
        }
    }
    return false;
}

bool CMessageLoop::RunIdleHandlers(int /*idle_count*/) {
    for (CIdleHandler* handler : idle_handlers) {
        if (handler != nullptr) {
            handler->DoIdleWork();
        }
    }
    return false;
}

bool CMessageLoop::RegisterFilter(CMessageFilter* filter) noexcept {
    return Append(filters, filter);
}

bool CMessageLoop::RegisterIdleHandler(CIdleHandler* handler) noexcept {
    return Append(idle_handlers, handler);
}

void CMessageLoop::UnregisterFilter(CMessageFilter* filter) noexcept {
    RemoveFirst(filters, filter);
}

void CMessageLoop::UnregisterIdleHandler(CIdleHandler* handler) noexcept {
    RemoveFirst(idle_handlers, handler);
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
        while (idle && !PeekMessageW(&current_message, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!RunIdleHandlers(idle_count++)) {
                idle = false;
            }
        }
        const BOOL got = GetMessageW(&current_message, nullptr, 0, 0);
        if (got == -1) {
            continue;  // nothing was fetched; try again
        }
        if (got == 0) {
            return static_cast<int>(current_message.wParam);
        }
        if (!FilterMessage(&current_message)) {
            TranslateMessage(&current_message);
            DispatchMessageW(&current_message);
        }
        if (RearmsIdle(current_message.message)) {
            idle = true;
            idle_count = 0;
        }
    }
}

class CAppModule::Lock {
public:
    explicit Lock(CRITICAL_SECTION& section) noexcept : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Lock() { LeaveCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

void CAppModule::Initialise(HINSTANCE module_instance) noexcept {
    if (initialised) {
        return;
    }
    instance = module_instance;
    InitializeCriticalSection(&lock);
    initialised = true;
}

void CAppModule::Shutdown() noexcept {
    if (!initialised) {
        return;
    }
    initialised = false;
    loops.clear();
    loops.shrink_to_fit();
    DeleteCriticalSection(&lock);
}

bool CAppModule::RegisterLoop(CMessageLoop* loop) noexcept {
    if (!initialised || loop == nullptr) {
        return false;
    }
    const Lock guard(lock);
    const DWORD thread = GetCurrentThreadId();
    for (const auto& entry : loops) {
        if (entry.first == thread) {
            return false;  // one loop per thread
        }
    }
    try {
        loops.emplace_back(thread, loop);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void CAppModule::UnregisterLoop() noexcept {
    if (!initialised) {
        return;
    }
    const Lock guard(lock);
    const DWORD thread = GetCurrentThreadId();
    loops.erase(std::remove_if(loops.begin(), loops.end(),
                               [thread](const auto& entry) { return entry.first == thread; }),
                loops.end());
}

CMessageLoop* CAppModule::FindLoop() noexcept {
    if (!initialised) {
        return nullptr;
    }
    const Lock guard(lock);
    const DWORD thread = GetCurrentThreadId();
    for (const auto& entry : loops) {
        if (entry.first == thread) {
            return entry.second;
        }
    }
    return nullptr;
}

}  // namespace qv
