#include "update/progress_counter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/hostile_server.h"
#include "tests/support/test_support.h"
#include "update/downloader.h"

namespace qv {

namespace {

// Received and total, comparable and printable.
using Figures = std::pair<uint64_t, uint64_t>;
Figures Of(const ProgressFigures& f) {
    return {f.received, f.total};
}

// The tests' clock and the reports it let through.
std::atomic<uint64_t> g_now{0};
std::atomic<int> g_reports{0};
uint64_t TestClock() noexcept {
    return g_now.load();
}
void CountReport(void*) noexcept {
    ++g_reports;
}

class Counter : public testing::Test {
protected:
    void SetUp() override {
        g_now = 1000;
        g_reports = 0;
    }
    ProgressCounter counter{&CountReport, nullptr, &TestClock};
};

TEST_F(Counter, ReportsAtOnceThenAtMostTwiceASecondAndExactlyAtTheEnd) {
    struct Step {
        uint64_t at;        // the clock
        int64_t received;   // counted at that time
        int reports;        // reports so far
        uint64_t reported;  // received as last reported
    };
    const Step steps[] = {
        {1000, 10, 1, 10},                     // the first change reports at once
        {1001, 10, 1, 10}, {1499, 10, 1, 10},  // within the interval: counted, not reported
        {1500, 10, 2, 40}, {1700, 10, 2, 40}, {1999, 10, 2, 40},
        {2000, 10, 3, 70}, {2001, 10, 3, 70},
    };
    for (const Step& s : steps) {
        g_now = s.at;
        counter.Received(s.received);
        EXPECT_EQ(g_reports.load(), s.reports) << s.at;
        EXPECT_EQ(counter.Reported().received, s.reported) << s.at;
    }
    // Nothing was expected: the total shows at least what came.
    EXPECT_EQ(Of(counter.Current()), Figures(80, 80));
    counter.Finish();  // within the interval, and still reported with the exact figures
    EXPECT_EQ(g_reports.load(), 4);
    EXPECT_EQ(Of(counter.Reported()), Figures(80, 80));
    counter.Reset();  // a new pass: its first change reports at once
    counter.Expect(5);
    EXPECT_EQ(g_reports.load(), 5);
    EXPECT_EQ(Of(counter.Reported()), Figures(0, 5));
}

TEST_F(Counter, CountsFromManyThreadsAtOnceWithOneReportPerInterval) {
    constexpr int kThreads = 6;
    constexpr int kSteps = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < kSteps; ++i) {
                counter.Expect(3);
                counter.Received(2);
                counter.Received(-1);  // a take-back, as a failed attempt does
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(g_reports.load(), 1);  // the clock never moved
    EXPECT_EQ(Of(counter.Current()), Figures(kThreads * kSteps, 3 * kThreads * kSteps));
    counter.Finish();
    EXPECT_EQ(Of(counter.Reported()), Of(counter.Current()));
}

// One entry's events as the downloader and the pass send them, and the counter after
// (whole, resumed and chunked bodies come from real transfers below).
TEST_F(Counter, AnEntryCountsWhatIsOnDiskForItNeverTwice) {
    struct Event {
        char kind;  // 'A' Answered(a, b), 'D' OnDisk(a), 'R' Reused
        uint64_t a;
        uint64_t b;
    };
    struct Case {
        const char* name;
        int64_t expected;  // the signed size, already in the total; -1: unsigned
        std::vector<Event> events;
        Figures figures;
    };
    const Case cases[] = {
        {"failed attempt taken back, then whole",
         -1,
         {{'A', 0, 1000}, {'D', 700, 0}, {'D', 0, 0}, {'A', 0, 1000}, {'D', 1000, 0}},
         {1000, 1000}},
        {"a 200 answer starts the file over",
         -1,
         {{'A', 0, 1000}, {'D', 700, 0}, {'A', 0, 1200}, {'D', 1200, 0}},
         {1200, 1200}},
        {"signed: the answer's size changes nothing",
         1000,
         {{'A', 0, 5000}, {'D', 250, 0}},
         {250, 1000}},
        {"signed, staged by an earlier run", 1000, {{'R', 0, 0}}, {1000, 1000}},
        {"unsigned, staged by an earlier run", -1, {{'R', 0, 0}}, {0, 0}},
    };
    for (const Case& c : cases) {
        counter.Reset();
        std::optional<uint64_t> expected;
        if (c.expected >= 0) {
            expected = static_cast<uint64_t>(c.expected);
            counter.Expect(c.expected);
        }
        EntryProgress entry(&counter, expected);
        for (const Event& e : c.events) {
            if (e.kind == 'A') {
                entry.Answered(e.a, e.b);
            } else if (e.kind == 'D') {
                entry.OnDisk(e.a);
            } else {
                entry.Reused();
            }
        }
        EXPECT_EQ(Of(counter.Current()), c.figures) << c.name;
    }
}

// The downloader tells the entry of its answers and writes: a whole body, one cut off
// and resumed with a Range request, and a chunked one without a length.
TEST_F(Counter, FileTransfersCountTheirAnswersAndBodies) {
    test::HostileServer server;
    ASSERT_TRUE(server.Running()) << server.Problem();
    const std::string prefix = "/progress";
    ASSERT_TRUE(server.Script(
        "{\"" + prefix + "/whole\": {\"body_size\": 3000}, \"" + prefix +
        "/cut\": [{\"body_size\": 3000, \"body_drop_at\": 1000, \"ranges\": true}, "
        "{\"body_size\": 3000, \"ranges\": true}], \"" +
        prefix +
        "/chunked\": {\"body_size\": 2500, \"framing\": \"chunked\", \"chunks\": [700]}}"));
    test::TempDir dir;
    struct Case {
        const char* name;
        bool cut;  // the first answer is cut off after 1000 bytes of its body
        Figures figures;
    };
    for (const Case& c : {Case{"/whole", false, {3000, 3000}}, Case{"/cut", true, {3000, 3000}},
                          Case{"/chunked", false, {2500, 2500}}}) {
        counter.Reset();
        EntryProgress entry(&counter, std::nullopt);
        CDownloader downloader(nullptr);
        const std::wstring url = server.Url(prefix + c.name);
        FileFetch fetch = downloader.ToFile(url, dir / L"f.dat", 0, 0, &entry);
        EXPECT_EQ(fetch.done, !c.cut) << c.name;
        if (!fetch.done) {
            ASSERT_EQ(fetch.resumable, 1000u) << c.name;
            EXPECT_EQ(Of(counter.Current()), Figures(1000, 3000)) << c.name;
            entry.OnDisk(fetch.resumable);  // as the pass does after an attempt
            fetch = downloader.ToFile(url, dir / L"f.dat", 0, fetch.resumable, &entry);
        }
        EXPECT_TRUE(fetch.done) << c.name;
        EXPECT_EQ(Of(counter.Current()), c.figures) << c.name;
    }
}

}  // namespace
}  // namespace qv
