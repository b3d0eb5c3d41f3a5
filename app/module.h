#pragma once
// The process's module object and the UI thread's message loop, with the filters
// and idle handlers that windows register with it.

#include <windows.h>

#include <utility>
#include <vector>

#include "win/lock.h"

namespace qv {

// Something that may consume a message before the loop translates and dispatches it.
class CMessageFilter {
public:
    // True when the message has been consumed; the loop then neither translates nor
    // dispatches it.
    virtual bool FilterMessage(MSG* message) = 0;

protected:
    ~CMessageFilter() = default;
};

// Something that works when the message queue has run empty.
class CIdleHandler {
public:
    // Called once per idle pass; the loop ignores the result.
    virtual bool DoIdleWork() = 0;

protected:
    ~CIdleHandler() = default;
};

// The message loop of one UI thread. It does not own its filters or idle handlers:
// their owners register and unregister them.
class CMessageLoop {
public:
    CMessageLoop() = default;
    virtual ~CMessageLoop() = default;
    CMessageLoop(const CMessageLoop&) = delete;
    CMessageLoop& operator=(const CMessageLoop&) = delete;

    // Asks the filters, the most recently registered first; true as soon as one of
    // them consumes the message.
    virtual bool FilterMessage(MSG* message);
    // One idle pass: every idle handler, the first registered first. Returns false,
    // so that each re-arming message buys exactly one pass.
    virtual bool RunIdleHandlers(int idle_count);

    // Appends to the list; false only when memory runs out.
    [[nodiscard]] bool RegisterFilter(CMessageFilter* filter) noexcept;
    [[nodiscard]] bool RegisterIdleHandler(CIdleHandler* handler) noexcept;
    // Removes the first entry equal to the pointer; nothing happens when it is absent.
    void UnregisterFilter(CMessageFilter* filter) noexcept;
    void UnregisterIdleHandler(CIdleHandler* handler) noexcept;

    // Runs until WM_QUIT and returns the quit message's wParam.
    [[nodiscard]] int RunLoop();

    // False for the messages that arrive all the time without anything having
    // happened (mouse moves, paint, the caret's blink timer): they do not re-arm
    // the idle pass.
    [[nodiscard]] static bool RearmsIdle(UINT message) noexcept;

protected:
    std::vector<CMessageFilter*> filters_;
    std::vector<CIdleHandler*> idle_handlers_;
    MSG current_message_ = {};
};

// The application module: the executable's instance handle and the table of the
// message loops of the process's UI threads.
class CAppModule {
public:
    CAppModule() = default;
    ~CAppModule() { Shutdown(); }
    CAppModule(const CAppModule&) = delete;
    CAppModule& operator=(const CAppModule&) = delete;

    // Records the instance handle every resource is loaded from and opens the empty
    // loop table.
    void Initialise(HINSTANCE instance) noexcept;
    // Releases the loop table.
    void Shutdown() noexcept;

    [[nodiscard]] HINSTANCE GetInstance() const noexcept { return instance_; }

    // Enters the loop for the calling thread. False when the module is not
    // initialised, the thread has a loop already, or memory runs out.
    [[nodiscard]] bool RegisterLoop(CMessageLoop* loop) noexcept;
    // Removes the calling thread's entry.
    void UnregisterLoop() noexcept;
    // The calling thread's loop, or null.
    [[nodiscard]] CMessageLoop* FindLoop() noexcept;

private:
    HINSTANCE instance_ = nullptr;
    bool initialised_ = false;
    std::vector<std::pair<DWORD, CMessageLoop*>> loops_;
    ExclusiveLock lock_;
};

// The one module object of the process.
extern CAppModule g_module;

}  // namespace qv
