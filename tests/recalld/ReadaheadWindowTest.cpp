// Readahead: the window that picks the extents to bring in, and the background fills that
// bring them in, racing each other and the demand recalls that wait for them.
#include "Background.h"
#include "Log.h"
#include "Progress.h"
#include "ReadaheadWindow.h"
#include "Stats.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each demand's step as text: "r" the run restarts, "-" nothing to bring in, "A-B" bring in
// extents A to B.
std::string Steps(long long cap, long long count, const std::vector<long long>& demands) {
    recalld::ReadaheadWindow window(cap, count);
    std::string out;
    for (long long extent : demands) {
        const recalld::ReadaheadWindow::Step step = window.demanded(extent);
        out += out.empty() ? "" : " ";
        if (step.restart)
            out += "r";
        else if (step.first > step.last)
            out += "-";
        else
            out += std::to_string(step.first) + "-" + std::to_string(step.last);
    }
    return out;
}

TEST(ReadaheadWindow, GrowsWithASequentialRunAndStartsOverWhereItBreaks) {
    const struct {
        const char* name;
        long long cap, count;
        std::vector<long long> demands;
        const char* steps;
    } kCases[] = {
        {"doubles up to the cap", 8, 100, {0, 1, 2, 3, 4}, "r 2-3 4-6 7-11 12-12"},
        {"a recall a little behind goes on", 8, 100, {0, 1, 2, 1, 3}, "r 2-3 4-6 - 7-11"},
        {"a recall of an extent read ahead goes on", 8, 100, {0, 1, 3}, "r 2-3 4-7"},
        {"a jump restarts", 8, 100, {0, 1, 50, 51}, "r 2-3 r 52-53"},
        {"far behind restarts", 8, 100, {10, 11, 12, 2}, "r 12-13 14-16 r"},
        {"stops at the last extent", 8, 6, {3, 4, 5}, "r 5-5 -"},
        {"a cap of one", 1, 100, {0, 1, 2}, "r 2-2 3-3"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(Steps(c.cap, c.count, c.demands), c.steps) << c.name;
}

TEST(BackgroundFill, RacingFillsPlaceEachExtentOnceAndWaitersSeeItInPlace) {
    constexpr int kExtentSize = 4096, kExtents = 64;
    tqtest::TempDir dir;
    std::string image;
    for (int i = 0; i < kExtents; ++i)
        image += std::string(kExtentSize, static_cast<char>('a' + i % 26));
    tqtest::WriteFile(dir / "image", image);
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(
        TqBlkRecallStore::create((dir / "store").c_str(), "u", image.size(), kExtentSize, &err));
    std::string detail;
    std::unique_ptr<recalld::Source> source = recalld::openImageSource(dir / "image", &detail);
    ASSERT_TRUE(store && source) << err.GetDescription() << detail;
    recalld::Log log(recalld::LogSink::Stderr, recalld::LogLevel::Warning);
    recalld::Stats stats("u", dir / "store", 0, kExtents);
    recalld::Progress progress(log, stats, true);
    recalld::BackgroundFill fill(*source, nullptr, nullptr, progress);
    // Even threads fill every extent, odd ones wait for each; each has its own store object.
    std::atomic<int> placed{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            CZyError openErr;
            std::unique_ptr<TqBlkRecallStore> own(
                TqBlkRecallStore::open((dir / "store").c_str(), &openErr));
            for (long long e = 0; own && e < kExtents; ++e) {
                long long bytes = 0;
                bool present = false;
                if (t % 2 == 0 && fill.fill(*own, e, "test", &bytes) == 0 && bytes > 0)
                    ++placed;
                else if (t % 2 == 1 && fill.await(e) &&
                         (own->checkExtentFile(e, &present).IsError() || !present))
                    ++wrong;
            }
            wrong += own ? 0 : 1;
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(placed, kExtents);
    EXPECT_EQ(wrong, 0);
    for (long long e = 0; e < kExtents; ++e) {
        std::string path;
        ASSERT_FALSE(store->getExtentFileName(e, &path).IsError());
        EXPECT_EQ(tqtest::ReadFile(path), image.substr(e * kExtentSize, kExtentSize)) << e;
    }
}

}  // namespace
