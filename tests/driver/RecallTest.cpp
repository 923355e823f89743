// Recall servicing against the emulator: fetch, answer, resubmit, and fetches that wait.

#include "DriverFixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace drivertest {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(DriverTest, RequestsAreFetchedAnsweredAndResubmitted) {
    createDevice("dev");
    control("recall 3 dev\nrecall 5 dev\nrecall 3 dev\n");  // readers of 3 share one request
    long long extent = -1;
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    EXPECT_EQ(extent, 3);
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    EXPECT_EQ(extent, 5);
    ASSERT_OK(m_driver->recallDone("dev", 3));

    // A service that restarts asks for the fetched, unanswered requests again.
    ASSERT_OK(m_driver->resubmitRecalls("dev"));
    EXPECT_EQ(state("dev", "queued"), "5");
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    EXPECT_EQ(extent, 5);
    ASSERT_OK(m_driver->recallFailed("dev", 5, -5));
    EXPECT_EQ(state("dev", "answered"), "3:0 5:-5");

    // Nothing asked for 3 any more.
    EXPECT_TRUE(FailedIn(m_driver->recallDone("dev", 3), ENOENT,
                         "ioctl(TQBLK_RECALL_DONE) has failed", "recallFailed"));
}

TEST_F(DriverTest, AFetchWithNothingToRecallEndsWithEagainAfterABoundedWait) {
    createDevice("dev");
    long long extent = 42;
    Clock::time_point start = Clock::now();
    CZyError err = m_driver->getRecallRequest("dev", &extent);
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(
        FailedIn(err, EAGAIN, "ioctl(TQBLK_GET_RECALL_REQUEST) has failed", "getRecallRequest"));
    EXPECT_EQ(extent, 42);
    EXPECT_GT(waited, 0.15);
    EXPECT_LT(waited, 2.0);
    EXPECT_EQ(m_driver->getRecallRequest("nodev", &extent).GetErrNo(), ENODEV);
}

class LongWaitTest : public DriverTest {
  protected:
    std::vector<std::string> emulatorOptions() const override { return {"--recall-wait-ms=5000"}; }

    // Starts a fetch on the shared driver and returns once the emulator holds it.
    std::future<std::pair<CZyError, long long>> startFetch(const std::string& uuid) {
        auto fetch = std::async(std::launch::async, [this, uuid] {
            long long extent = -1;
            CZyError err = m_driver->getRecallRequest(uuid.c_str(), &extent);
            return std::make_pair(err, extent);
        });
        Clock::time_point start = Clock::now();
        while (state(uuid, "waiting") != "1" && Clock::now() - start < std::chrono::seconds(5)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return fetch;
    }
};

TEST_F(LongWaitTest, AWaitingFetchBlocksNoOtherRequestAndTakesTheNextRecall) {
    createDevice("dev");
    ASSERT_OK(m_driver->open());  // before the object is shared
    auto fetch = startFetch("dev");
    ASSERT_EQ(state("dev", "waiting"), "1");

    Clock::time_point start = Clock::now();
    bool ready = false;
    ASSERT_OK(m_driver->checkDevice("dev", &ready));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);

    control("recall 7 dev");
    ASSERT_EQ(fetch.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    auto result = fetch.get();
    EXPECT_OK(result.first);
    EXPECT_EQ(result.second, 7);
}

TEST_F(LongWaitTest, AbortAndDestroyEndTheWaitingFetches) {
    createDevice("a");
    createDevice("d");
    ASSERT_OK(m_driver->open());
    auto aborted = startFetch("a");
    auto destroyed = startFetch("d");
    ASSERT_OK(m_driver->abortDevice("a"));
    ASSERT_OK(m_driver->destroyDevice("d"));
    ASSERT_EQ(aborted.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(aborted.get().first.GetErrNo(), ESHUTDOWN);
    auto result = destroyed.get();
    EXPECT_EQ(result.first.GetErrNo(), ENODEV);
    EXPECT_EQ(result.second, -1);
}

}  // namespace
}  // namespace drivertest
