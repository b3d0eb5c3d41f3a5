#include "win/unique_handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace qv {
namespace {

constexpr DWORD kSentinel = 0x20000000 | 4242;  // an application-defined error code

// A handle kind whose close overwrites the thread's error, as CloseHandle does when it
// fails; it records what it closed.
struct ClobberingTraits {
    using pointer = int;
    static std::vector<int> closed;
    static pointer Invalid() noexcept { return 0; }
    static void Close(pointer value) noexcept {
        closed.push_back(value);
        SetLastError(ERROR_INVALID_HANDLE);
    }
};
std::vector<int> ClobberingTraits::closed;
using ClobberingHandle = UniqueHandle<ClobberingTraits>;

// Every way an owner lets go of its handle closes it once and leaves the caller's
// GetLastError() as it was: callers read it after the failure that made them give up.
TEST(UniqueHandle, EveryCloseKeepsTheCallersLastError) {
    struct Case {
        const char* name;
        void (*let_go)(std::optional<ClobberingHandle>& owner);
    };
    const Case cases[] = {
        {"reset", [](std::optional<ClobberingHandle>& owner) { owner->reset(); }},
        {"reset to another", [](std::optional<ClobberingHandle>& owner) { owner->reset(8); }},
        {"move assignment",
         [](std::optional<ClobberingHandle>& owner) { *owner = ClobberingHandle(8); }},
        {"put", [](std::optional<ClobberingHandle>& owner) { *owner->put() = 9; }},
        {"destruction", [](std::optional<ClobberingHandle>& owner) { owner.reset(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClobberingTraits::closed.clear();
        std::optional<ClobberingHandle> owner(std::in_place, 7);
        SetLastError(kSentinel);
        c.let_go(owner);
        EXPECT_EQ(GetLastError(), kSentinel);
        const auto& closed = ClobberingTraits::closed;
        EXPECT_EQ(std::count(closed.begin(), closed.end(), 7), 1);
    }
}

TEST(UniqueHandle, MovesAndReleasesWithoutClosing) {
    ClobberingTraits::closed.clear();
    ClobberingHandle first(7);
    ClobberingHandle second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), 7);
    EXPECT_EQ(second.release(), 7);
    EXPECT_FALSE(second);
    EXPECT_TRUE(ClobberingTraits::closed.empty());
}

// The real CloseHandle, failing on a handle that is gone: the owner still leaves the
// caller's error alone.
TEST(UniqueHandle, AFailingCloseHandleKeepsTheCallersLastError) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    {
        UniqueKernelHandle stale(event);
        SetLastError(kSentinel);
    }
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST(UniqueHandle, FileAndFindOwnersTakeInvalidHandleValueForNone) {
    EXPECT_FALSE(UniqueFileHandle(INVALID_HANDLE_VALUE).valid());
    EXPECT_FALSE(UniqueFindHandle(INVALID_HANDLE_VALUE).valid());
    EXPECT_FALSE(UniqueKernelHandle(nullptr).valid());
    EXPECT_FALSE(UniqueFileHandle().valid());
}

}  // namespace
}  // namespace qv
