// Background fills racing each other and the demand recalls that wait for them: each extent
// is brought in by one fill, and a waiter is told "in place" only once it is.

#include "Background.h"
#include "Log.h"
#include "Progress.h"
#include "Stats.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr int kExtentSize = 4096;
constexpr int kExtents = 64;

TEST(BackgroundFill, RacingFillsPlaceEachExtentOnceAndWaitersSeeItInPlace) {
    tqtest::TempDir dir;
    std::string image;
    for (int i = 0; i < kExtents; ++i)
        image += std::string(kExtentSize, static_cast<char>('a' + i % 26));
    tqtest::WriteFile(dir / "image", image);
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> created(
        TqBlkRecallStore::create((dir / "store").c_str(), "u", image.size(), kExtentSize, &err));
    ASSERT_TRUE(created) << err.GetDescription();
    std::string detail;
    std::unique_ptr<recalld::Source> source = recalld::openImageSource(dir / "image", &detail);
    ASSERT_TRUE(source) << detail;
    recalld::Log log(recalld::LogSink::Stderr, recalld::LogLevel::Warning);
    recalld::Stats stats("u", dir / "store", 0, kExtents);
    recalld::Progress progress(log, stats, true);
    recalld::BackgroundFill fill(*source, nullptr, nullptr, progress);

    std::atomic<int> placed{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            CZyError openErr;
            std::unique_ptr<TqBlkRecallStore> store(
                TqBlkRecallStore::open((dir / "store").c_str(), &openErr));
            if (!store)
                ++wrong;
            for (long long e = 0; e < kExtents && store; ++e) {
                long long bytes = 0;
                bool present = false;
                if (t % 2 == 0 && fill.fill(*store, e, "test", &bytes) == 0 && bytes > 0)
                    ++placed;
                else if (t % 2 == 1 && fill.await(e) &&
                         (store->checkExtentFile(e, &present).IsError() || !present))
                    ++wrong;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(placed, kExtents);
    EXPECT_EQ(wrong, 0);
    for (long long e = 0; e < kExtents; ++e) {
        std::string path;
        ASSERT_FALSE(created->getExtentFileName(e, &path).IsError());
        EXPECT_EQ(tqtest::ReadFile(path), image.substr(e * kExtentSize, kExtentSize)) << e;
    }
    // Once ended, nothing more is brought in.
    fill.end();
    long long bytes = 0;
    ASSERT_FALSE(created->pruneExtentFile(0).IsError());
    EXPECT_EQ(fill.fill(*created, 0, "test", &bytes), ECANCELED);
    EXPECT_TRUE(fill.over());
}

}  // namespace
