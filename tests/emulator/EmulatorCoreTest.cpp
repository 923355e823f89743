// Parts of the emulator that need no mount: these run anywhere.

#include "RecallQueue.h"
#include "StoreConfig.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(RecallQueue, SharesRequestsAndResubmitsFetchedOnesFirstInFetchOrder) {
    tqemu::RecallQueue queue;
    EXPECT_TRUE(queue.request(4));
    EXPECT_FALSE(queue.request(4));
    queue.request(8);
    queue.request(1);
    long long extent = -1;
    ASSERT_TRUE(queue.fetch(&extent));
    ASSERT_TRUE(queue.fetch(&extent));
    EXPECT_EQ(extent, 8);
    EXPECT_EQ(queue.resubmit(), 2u);
    EXPECT_EQ(queue.queued(), (std::vector<long long>{4, 8, 1}));

    // Answering works for fetched and still-queued requests alike, once.
    EXPECT_TRUE(queue.answer(8));
    EXPECT_FALSE(queue.answer(8));
    EXPECT_FALSE(queue.answer(99));
    ASSERT_TRUE(queue.fetch(&extent));
    EXPECT_EQ(extent, 4);
    EXPECT_TRUE(queue.answer(4));
    EXPECT_TRUE(queue.request(4));
}

TEST(StoreConfig, ReadsSizesInAnyBaseAndRefusesWhatIsNotAStore) {
    tqtest::TempDir dir;
    tqemu::StoreMetrics metrics;
    EXPECT_EQ(tqemu::readStoreMetrics(dir / "missing", &metrics), ENOENT);
    EXPECT_EQ(tqemu::readStoreMetrics(dir.path(), &metrics), ENOENT);
    tqtest::WriteFile(dir / "config",
                      "# a store\n uuid = x\ndevice_size=0x100 # hex\nextent_size = 010\r\n");
    ASSERT_EQ(tqemu::readStoreMetrics(dir.path(), &metrics), 0);
    EXPECT_EQ(metrics.deviceSize, 256);
    EXPECT_EQ(metrics.extentSize, 8);
    EXPECT_EQ(tqemu::readStoreMetrics(dir / "config", &metrics), ENOTDIR);
    tqtest::WriteFile(dir / "config", "device_size=4096\n");
    EXPECT_EQ(tqemu::readStoreMetrics(dir.path(), &metrics), EINVAL);
}

}  // namespace
