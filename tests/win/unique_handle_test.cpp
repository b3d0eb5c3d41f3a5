#include "win/unique_handle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "win/system_library.h"

namespace qv {
namespace {

constexpr DWORD kSentinel = 0x20000000 | 4242;  // an application-defined error code

// A handle kind whose close overwrites the thread's error, as CloseHandle does when it
// fails; it records what it closed.
std::vector<int> closed;
void CloseClobbering(int value) noexcept {
    closed.push_back(value);
    SetLastError(ERROR_INVALID_HANDLE);
}
using ClobberingHandle = UniqueHandle<int, 0, CloseClobbering>;

// The same kind spelled out as a traits type, the form for a kind that needs more than
// a line.
struct ClobberingTraits {
    using pointer = int;
    static pointer Invalid() noexcept { return 0; }
    static void Close(pointer value) noexcept { CloseClobbering(value); }
};
using ClobberingTraitsHandle = UniqueHandle<ClobberingTraits>;

// Every way an owner lets go of its handle closes it once and leaves the caller's
// GetLastError() as it was: callers read it after the failure that made them give up.
template <typename Owner>
void ExpectEveryCloseKeepsTheCallersLastError() {
    struct Case {
        const char* name;
        void (*let_go)(std::optional<Owner>& owner);
    };
    const Case cases[] = {
        {"reset", [](std::optional<Owner>& owner) { owner->reset(); }},
        {"reset to another", [](std::optional<Owner>& owner) { owner->reset(8); }},
        {"move assignment", [](std::optional<Owner>& owner) { *owner = Owner(8); }},
        {"put", [](std::optional<Owner>& owner) { *owner->put() = 9; }},
        {"destruction", [](std::optional<Owner>& owner) { owner.reset(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        closed.clear();
        std::optional<Owner> owner(std::in_place, 7);
        SetLastError(kSentinel);
        c.let_go(owner);
        EXPECT_EQ(GetLastError(), kSentinel);
        EXPECT_EQ(std::count(closed.begin(), closed.end(), 7), 1);
    }
}

TEST(UniqueHandle, EveryCloseKeepsTheCallersLastError) {
    {
        SCOPED_TRACE("one-line kind");
        ExpectEveryCloseKeepsTheCallersLastError<ClobberingHandle>();
    }
    {
        SCOPED_TRACE("traits kind");
        ExpectEveryCloseKeepsTheCallersLastError<ClobberingTraitsHandle>();
    }
}

TEST(UniqueHandle, MovesAndReleasesWithoutClosing) {
    closed.clear();
    ClobberingHandle first(7);
    ClobberingHandle second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), 7);
    EXPECT_EQ(second.release(), 7);
    EXPECT_FALSE(second);
    EXPECT_TRUE(closed.empty());
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

// True when a fresh `Owner` holds `none` and then owns `value`; the owner closes it on
// the way out, after the caller's error was set to kSentinel.
template <typename Owner>
bool OwnsThenCloses(typename Owner::pointer none, typename Owner::pointer value) {
    Owner owner;
    const bool empty = owner.get() == none && !owner;
    owner.reset(value);
    const bool owns = owner.valid();
    SetLastError(kSentinel);
    return empty && owns;
}

// Each kind starts empty with its own "no handle" value and takes a real handle of its
// kind, whose close through the owner leaves the caller's error alone.
TEST(UniqueHandle, EveryKindOwnsAndClosesARealHandle) {
    struct Case {
        const char* name;
        bool (*run)();
    };
    const Case cases[] = {
        {"kernel handle",
         [] {
             return OwnsThenCloses<UniqueKernelHandle>(nullptr,
                                                       CreateEventW(nullptr, TRUE, FALSE, nullptr));
         }},
        {"file handle",
         [] {
             return OwnsThenCloses<UniqueFileHandle>(
                 INVALID_HANDLE_VALUE,
                 CreateFileW(L"unique_handle_kinds\\file", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_FLAG_DELETE_ON_CLOSE, nullptr));
         }},
        {"find handle",
         [] {
             WIN32_FIND_DATAW data;
             return OwnsThenCloses<UniqueFindHandle>(
                 INVALID_HANDLE_VALUE, FindFirstFileW(L"unique_handle_kinds\\*", &data));
         }},
        {"mapped view",
         [] {
             const UniqueKernelHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr,
                                                                 PAGE_READWRITE, 0, 4096, nullptr));
             return OwnsThenCloses<UniqueMappedView>(
                 nullptr, MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
         }},
        {"heap block",
         [] {
             return OwnsThenCloses<UniqueHeapBlock>(nullptr, HeapAlloc(GetProcessHeap(), 0, 64));
         }},
        {"module",
         [] {
             return OwnsThenCloses<UniqueModule>(
                 nullptr, LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
         }},
    };
    ASSERT_TRUE(CreateDirectoryW(L"unique_handle_kinds", nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.run());
        EXPECT_EQ(GetLastError(), kSentinel);
    }
    EXPECT_TRUE(RemoveDirectoryW(L"unique_handle_kinds"));
}

}  // namespace
}  // namespace qv
