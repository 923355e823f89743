// The store checker on the private store of a live device: the device writes its extents
// through tmp without the store's lock, and a repair must never take a write from under it.

#include "RoadFixture.h"

#include <tqblk/TqBlkStoreCheck.h>

#include <atomic>
#include <thread>

namespace roadtest {
namespace {

TEST_F(RoadTest, RepairOnALiveDevicesPrivateStoreFailsNoWrite) {
    constexpr int kExtent = 4096, kWrites = 192;
    const std::string data = makeDevice("dev", kWrites * kExtent, kExtent, 0);
    std::atomic<bool> writing{true};
    std::atomic<int> checks{0}, failedChecks{0};
    std::thread checker([&] {
        TqBlkStoreCheckOptions options;
        options.repair = true;
        options.storeKind = TQBLK_CHECK_STORE_PRIVATE;
        while (writing || checks == 0) {
            TqBlkStoreCheckReport report;
            failedChecks +=
                tqblk_check_store(m_private->getDir().c_str(), options, &report).IsError();
            ++checks;
        }
    });
    int failed = 0;
    for (int i = 0; i < kWrites; ++i)
        failed += WriteAt(data, static_cast<long long>(i) * kExtent, Pattern(i * kExtent, kExtent))
                      ? 1
                      : 0;
    writing = false;
    checker.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(failedChecks, 0);
    EXPECT_EQ(BitmapOf(m_private).size(), static_cast<size_t>(kWrites));
}

}  // namespace
}  // namespace roadtest
