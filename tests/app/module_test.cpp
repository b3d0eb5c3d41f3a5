#include "app/module.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/app/app_test_support.h"

namespace qv {
namespace {

using test::ModuleTest;

TEST_F(ModuleTest, KeepsOneLoopPerThreadAndFindsOnlyTheCallersOwn) {
    CMessageLoop main_loop;
    CMessageLoop other_loop;
    EXPECT_EQ(g_module.GetInstance(), GetModuleHandleW(nullptr));
    EXPECT_EQ(g_module.FindLoop(), nullptr);
    ASSERT_TRUE(g_module.RegisterLoop(&main_loop));
    EXPECT_FALSE(g_module.RegisterLoop(&other_loop));  // this thread has one already
    EXPECT_EQ(g_module.FindLoop(), &main_loop);

    CMessageLoop* seen_before = &main_loop;
    CMessageLoop* seen_after = &main_loop;
    bool registered = false;
    std::thread([&] {
        seen_before = g_module.FindLoop();
        registered = g_module.RegisterLoop(&other_loop);
        seen_after = g_module.FindLoop();
        g_module.UnregisterLoop();
    }).join();
    EXPECT_EQ(seen_before, nullptr);
    EXPECT_TRUE(registered);
    EXPECT_EQ(seen_after, &other_loop);
    // The other thread's unregistration left this thread's entry alone.
    EXPECT_EQ(g_module.FindLoop(), &main_loop);

    g_module.UnregisterLoop();
    EXPECT_EQ(g_module.FindLoop(), nullptr);
    EXPECT_TRUE(g_module.RegisterLoop(&other_loop));
    g_module.UnregisterLoop();
}

TEST(Module, WithoutInitialisationRegistersNothing) {
    CAppModule module;
    CMessageLoop loop;
    EXPECT_FALSE(module.RegisterLoop(&loop));
    EXPECT_EQ(module.FindLoop(), nullptr);
    module.Initialise(nullptr);
    EXPECT_TRUE(module.RegisterLoop(&loop));
    module.Shutdown();  // releases the table: a fresh start finds nothing
    module.Initialise(nullptr);
    EXPECT_EQ(module.FindLoop(), nullptr);
}

// Records what reaches it and can consume chosen messages.
class RecordingFilter : public CMessageFilter {
public:
    RecordingFilter(std::vector<int>& log, int name, UINT consumes)
        : log_(log), name_(name), consumes_(consumes) {}
    bool FilterMessage(MSG* message) override {
        log_.push_back(name_);
        return message->message == consumes_;
    }

private:
    std::vector<int>& log_;
    int name_;
    UINT consumes_;
};

TEST(MessageLoop, AsksTheLatestFilterFirstAndStopsAtTheFirstThatConsumes) {
    std::vector<int> log;
    RecordingFilter first(log, 1, WM_USER + 1);
    RecordingFilter second(log, 2, WM_USER + 2);
    RecordingFilter third(log, 3, WM_USER + 3);
    CMessageLoop loop;
    ASSERT_TRUE(loop.RegisterFilter(&first));
    ASSERT_TRUE(loop.RegisterFilter(nullptr));  // null entries are skipped
    ASSERT_TRUE(loop.RegisterFilter(&second));
    ASSERT_TRUE(loop.RegisterFilter(&third));

    MSG message = {};
    message.message = WM_USER + 2;
    EXPECT_TRUE(loop.FilterMessage(&message));
    EXPECT_EQ(log, (std::vector<int>{3, 2}));

    log.clear();
    message.message = WM_USER + 9;
    EXPECT_FALSE(loop.FilterMessage(&message));
    EXPECT_EQ(log, (std::vector<int>{3, 2, 1}));

    // Unregistering removes the first equal entry only; an absent one is ignored.
    ASSERT_TRUE(loop.RegisterFilter(&first));
    loop.UnregisterFilter(&first);
    loop.UnregisterFilter(&first);
    loop.UnregisterFilter(&first);
    log.clear();
    EXPECT_FALSE(loop.FilterMessage(&message));
    EXPECT_EQ(log, (std::vector<int>{3, 2}));
}

class CountingIdle : public CIdleHandler {
public:
    bool DoIdleWork() override {
        ++calls;
        return true;  // the loop ignores it
    }
    int calls = 0;
};

TEST(MessageLoop, RunIdleHandlersCallsEveryHandlerOnceAndReturnsFalse) {
    CountingIdle a;
    CountingIdle b;
    CMessageLoop loop;
    ASSERT_TRUE(loop.RegisterIdleHandler(&a));
    ASSERT_TRUE(loop.RegisterIdleHandler(nullptr));
    ASSERT_TRUE(loop.RegisterIdleHandler(&b));
    EXPECT_FALSE(loop.RunIdleHandlers(0));
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 1);
    loop.UnregisterIdleHandler(&a);
    EXPECT_FALSE(loop.RunIdleHandlers(1));
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 2);
}

// A window that counts what is dispatched to it.
class CountingWindow {
public:
    CountingWindow() {
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = &Procedure;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"QvCountingWindow";
        RegisterClassW(&window_class);
        hwnd_ = CreateWindowExW(0, L"QvCountingWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    }
    ~CountingWindow() { DestroyWindow(hwnd_); }
    [[nodiscard]] HWND get() const { return hwnd_; }
    static inline std::vector<UINT> dispatched;

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message >= WM_USER) {
            dispatched.push_back(message);
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }
    HWND hwnd_;
};

// Drives RunLoop: its first idle pass posts the scripted messages; a thread timer
// posts WM_QUIT once the loop has gone quiet, so that an idle pass the loop wrongly
// runs after the script still shows in the count.
class ScriptedLoop : public CMessageLoop, public CIdleHandler, public CMessageFilter {
public:
    ScriptedLoop(HWND target, std::vector<UINT> script, UINT consumed = 0)
        : target_(target), script_(std::move(script)), consumed_(consumed) {
        EXPECT_TRUE(RegisterIdleHandler(this));
        EXPECT_TRUE(RegisterFilter(this));
    }

    bool DoIdleWork() override {
        ++idle_passes;
        if (idle_passes == 1) {
            for (UINT message : script_) {
                PostMessageW(target_, message, 0, 0);
            }
            timer_ = SetTimer(nullptr, 0, 150, nullptr);
        }
        return false;
    }

    bool FilterMessage(MSG* message) override {
        if (message->message == WM_TIMER && message->hwnd == nullptr) {
            KillTimer(nullptr, timer_);
            PostQuitMessage(7);
            return true;
        }
        return consumed_ != 0 && message->message == consumed_;
    }

    int idle_passes = 0;

private:
    HWND target_;
    std::vector<UINT> script_;
    UINT consumed_;
    UINT_PTR timer_ = 0;
};

TEST(MessageLoop, MouseMovePaintAndCaretBlinkDoNotRearmTheIdlePass) {
    CountingWindow window;
    ScriptedLoop loop(window.get(), {WM_MOUSEMOVE, WM_NCMOUSEMOVE, WM_PAINT, 0x0118});
    EXPECT_EQ(loop.RunLoop(), 7);
    EXPECT_EQ(loop.idle_passes, 1);  // only the first one
}

TEST(MessageLoop, AnyOtherMessageRearmsExactlyOneIdlePass) {
    for (UINT message : {UINT{WM_USER + 5}, UINT{WM_NULL}, UINT{WM_USER + 6}}) {
        CountingWindow window;
        ScriptedLoop loop(window.get(), {WM_MOUSEMOVE, message, WM_PAINT});
        EXPECT_EQ(loop.RunLoop(), 7);
        EXPECT_EQ(loop.idle_passes, 2) << "message " << message;
    }
}

TEST(MessageLoop, AConsumedMessageIsNotDispatched) {
    CountingWindow window;
    CountingWindow::dispatched.clear();
    ScriptedLoop loop(window.get(), {WM_USER + 1, WM_USER + 2, WM_USER + 3}, WM_USER + 2);
    EXPECT_EQ(loop.RunLoop(), 7);
    EXPECT_EQ(CountingWindow::dispatched, (std::vector<UINT>{WM_USER + 1, WM_USER + 3}));
}

// An idle pass that asks for more: the loop keeps calling while the queue is empty,
// counting up, and starts again from 0 after a re-arming message.
class GreedyLoop : public CMessageLoop {
public:
    bool RunIdleHandlers(int idle_count) override {
        counts.push_back(idle_count);
        if (counts.size() == 3) {
            PostMessageW(nullptr, WM_USER + 1, 0, 0);  // re-arms
            return false;
        }
        if (counts.size() == 5) {
            PostQuitMessage(3);
            return false;
        }
        return true;
    }
    std::vector<int> counts;
};

TEST(MessageLoop, PassesTheIdleCountAndResetsItWhenRearmed) {
    GreedyLoop loop;
    EXPECT_EQ(loop.RunLoop(), 3);
    EXPECT_EQ(loop.counts, (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST(MessageLoop, RearmsOnEverythingButTheFourQuietMessages) {
    EXPECT_FALSE(CMessageLoop::RearmsIdle(WM_MOUSEMOVE));
    EXPECT_FALSE(CMessageLoop::RearmsIdle(WM_NCMOUSEMOVE));
    EXPECT_FALSE(CMessageLoop::RearmsIdle(WM_PAINT));
    EXPECT_FALSE(CMessageLoop::RearmsIdle(0x0118));
    EXPECT_TRUE(CMessageLoop::RearmsIdle(WM_TIMER));
    EXPECT_TRUE(CMessageLoop::RearmsIdle(WM_NCPAINT));
    EXPECT_TRUE(CMessageLoop::RearmsIdle(WM_LBUTTONDOWN));
}

}  // namespace
}  // namespace qv
