// Abort, destroy, monitor, check and the wait for readiness.

#include "DriverFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern "C" long long tqtest_wall_shift;
extern "C" long long tqtest_wall_step;

namespace drivertest {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Records when each readiness check is made.
class CountingDriver : public TqBlkDriverUnix {
  public:
    CZyError checkDevice(const char* uuid, bool* ready) override {
        checks.push_back(Clock::now());
        return TqBlkDriverUnix::checkDevice(uuid, ready);
    }
    std::vector<Clock::time_point> checks;
};

// Devices turn ready 3 seconds after their creation.
class SlowDeviceTest : public DriverTest {
  protected:
    std::vector<std::string> emulatorOptions() const override { return {"--ready-delay-ms=3000"}; }
    void SetUp() override {
        DriverTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        createDevice("slow");
        m_start = Clock::now();
    }
    void TearDown() override {
        __atomic_store_n(&tqtest_wall_step, 0, __ATOMIC_SEQ_CST);
        __atomic_store_n(&tqtest_wall_shift, 0, __ATOMIC_SEQ_CST);
        DriverTest::TearDown();
    }
    // Seconds of each check after the first one.
    std::vector<double> offsets() const {
        std::vector<double> result;
        for (Clock::time_point check : m_counting.checks) {
            result.push_back(std::chrono::duration<double>(check - m_counting.checks[0]).count());
        }
        return result;
    }

    CountingDriver m_counting;
    Clock::time_point m_start;
};

TEST_F(SlowDeviceTest, ATimeoutOfZeroChecksOnceAndFailsAtOnce) {
    CZyError err = m_counting.waitForDeviceReady("slow", 0);
    EXPECT_TRUE(FailedIn(err, ETIMEDOUT, "Device not ready", "waitForDeviceReady"));
    EXPECT_EQ(m_counting.checks.size(), 1u);
    EXPECT_LT(secondsSince(m_start), 0.5);
}

TEST_F(SlowDeviceTest, ATimeoutOfOneChecksAtMostTwiceASecondApart) {
    EXPECT_EQ(m_counting.waitForDeviceReady("slow", 1).GetErrNo(), ETIMEDOUT);
    std::vector<double> at = offsets();
    ASSERT_GE(at.size(), 1u);
    ASSERT_LE(at.size(), 2u);
    if (at.size() == 2) {
        EXPECT_NEAR(at[1], 1.0, 0.25);
    }
}

TEST_F(SlowDeviceTest, ADeviceThatTurnsReadyIsSeenAtTheNextCheckTwoSecondsApart) {
    EXPECT_OK(m_counting.waitForDeviceReady("slow", 10));
    std::vector<double> at = offsets();
    ASSERT_EQ(at.size(), 3u);
    EXPECT_NEAR(at[1], 2.0, 0.25);
    EXPECT_NEAR(at[2], 4.0, 0.25);
}

// The deadline runs on a monotonic clock: a wall clock that leaps forward an hour at every
// read would otherwise end the wait at the first check, and one that leaps back would make
// it endless.
TEST_F(SlowDeviceTest, WallClockLeapsNeitherEndNorProlongTheWait) {
    __atomic_store_n(&tqtest_wall_step, 3600, __ATOMIC_SEQ_CST);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(m_counting.waitForDeviceReady("slow", 2).GetErrNo(), ETIMEDOUT);
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_EQ(m_counting.checks.size(), 2u);

    // A fresh device, so that it cannot turn ready during this wait.
    createDevice("slow2");
    __atomic_store_n(&tqtest_wall_step, -3600, __ATOMIC_SEQ_CST);
    start = Clock::now();
    EXPECT_EQ(m_driver->waitForDeviceReady("slow2", 1).GetErrNo(), ETIMEDOUT);
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST_F(DriverTest, DevicesAreAbortedAndDestroyedByNodePathOrUuid) {
    std::string name = createDevice("dev");
    std::string link = m_temp / "link";
    ASSERT_EQ(::symlink(name.c_str(), link.c_str()), 0);

    // A link to the node is followed; only the node's minor number is sent.
    ASSERT_OK(m_driver->abortDevice(link.c_str()));
    auto sent = lastRequest();
    EXPECT_EQ(sent.bytes, std::vector<unsigned char>(72, 0));  // minor 0, uuid all zero
    EXPECT_EQ(state("dev", "aborted"), "1");
    long long extent = 0;
    EXPECT_TRUE(FailedIn(m_driver->getRecallRequest("dev", &extent), ESHUTDOWN,
                         "ioctl(TQBLK_GET_RECALL_REQUEST) has failed", "getRecallRequest"));

    ASSERT_OK(m_driver->destroyDevice(name.c_str()));
    EXPECT_EQ(state("dev", "minor"), "<none>");
    struct stat st;
    EXPECT_NE(::stat(name.c_str(), &st), 0);
    EXPECT_TRUE(FailedIn(m_driver->destroyDevice("dev"), ENODEV,
                         "ioctl(TQBLK_DESTROY_DEVICE) has failed", "destroyDevice"));
    // The node is gone, so its path now travels as a UUID, which no device has.
    EXPECT_EQ(m_driver->abortDevice(name.c_str()).GetErrNo(), ENODEV);
}

// A path of a file that is no block device has no device minor: its st_rdev of 0 would name
// tqblk0, so such a path is refused and nothing reaches the driver.
TEST_F(DriverTest, PathsOfFilesThatAreNoBlockDevicesAreRefused) {
    std::string name = createDevice("dev");
    const size_t sent = requests().size();
    std::string file = m_temp / "tqblk0.data";
    tqtest::WriteFile(file, "x");
    for (const std::string& path :
         {file, std::string("/etc/passwd"), m_temp.path(), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        const std::string message =
            "Invalid device path " + path + " passed as input: it is not a block device";
        EXPECT_TRUE(
            FailedIn(m_driver->destroyDevice(path.c_str()), ENOTBLK, message, "destroyDevice"));
        EXPECT_TRUE(FailedIn(m_driver->abortDevice(path.c_str()), ENOTBLK, message, "abortDevice"));
    }
    EXPECT_EQ(requests().size(), sent);
    EXPECT_EQ(state("dev", "aborted"), "0");
    ASSERT_OK(m_driver->destroyDevice(name.c_str()));
}

TEST_F(DriverTest, MonitorAndCheckTakeAPathOnlyAsAUuid) {
    std::string name = createDevice("dev");
    ASSERT_OK(m_driver->monitorDevice("dev"));
    EXPECT_EQ(state("dev", "monitored"), "1");
    bool ready = false;
    EXPECT_EQ(m_driver->checkDevice(name.c_str(), &ready).GetErrNo(), ENODEV);
    EXPECT_EQ(m_driver->monitorDevice(name.c_str()).GetErrNo(), ENODEV);
}

// The driver aborts an auto-abort device once the admin descriptor that created it closes.
TEST_F(DriverTest, ClosingTheCreatorAbortsOnlyItsAutoAbortDevices) {
    std::unique_ptr<TqBlkDriverUnix> creator(new TqBlkDriverUnix);
    std::string name;
    ASSERT_OK(creator->createAutoAbortDevice("auto", privateStore("a"), nullptr, &name));
    ASSERT_OK(creator->createDevice("plain", privateStore("b"), nullptr, &name));
    ASSERT_OK(m_driver->createAutoAbortDevice("other", privateStore("c"), nullptr, &name));
    EXPECT_EQ(state("auto", "aborted"), "0");
    creator.reset();

    // The file system hears of the close a moment after close() returns.
    Clock::time_point start = Clock::now();
    while (state("auto", "aborted") != "1" && secondsSince(start) < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(state("auto", "aborted"), "1");
    EXPECT_EQ(state("plain", "aborted"), "0");
    EXPECT_EQ(state("other", "aborted"), "0");
}

}  // namespace
}  // namespace drivertest
