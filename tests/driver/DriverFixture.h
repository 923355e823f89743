#ifndef TQBLK_TESTS_DRIVER_DRIVERFIXTURE_H
#define TQBLK_TESTS_DRIVER_DRIVERFIXTURE_H

#include "EmulatorHarness.h"
#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqblk/unix/tqblk_admin.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace drivertest {

// One request as the emulator received it.
struct LoggedRequest {
    unsigned int code = 0;
    std::vector<unsigned char> bytes;
};

template <class Record>
std::vector<unsigned char> bytesOf(const Record& record) {
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(begin, begin + sizeof record);
}

// Expects the error's errno, its one message and that its innermost location is the
// driver's source file in the named function.
::testing::AssertionResult FailedIn(const CZyError& err, int errnoValue, const std::string& message,
                                    const std::string& function);

// Tests of the driver in a private mount namespace where /dev/tqblk is an empty directory
// of its own. Skips where that cannot be had, and fails instead under CI=true.
class NoNodeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override { m_driver.reset(); }

    // A store below the test's temporary directory; the test owns nothing, the fixture does.
    TqBlkBackingStore* privateStore(const std::string& name, long long deviceSize = 1 << 20,
                                    int extentSize = 4096);
    TqBlkBackingStore* recallStore(const std::string& name, long long deviceSize = 1 << 20,
                                   int extentSize = 65536);

    template <class Factory>
    TqBlkBackingStore* keep(Factory create, const std::string& name, long long deviceSize,
                            int extentSize);

    tqtest::TempDir m_temp;
    std::unique_ptr<TqBlkDriverUnix> m_driver{new TqBlkDriverUnix};
    std::vector<std::unique_ptr<TqBlkBackingStore>> m_stores;
};

// As NoNodeTest, with the emulator mounted at /dev/tqblk.
class DriverTest : public NoNodeTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Extra emulator options of a test suite.
    virtual std::vector<std::string> emulatorOptions() const { return {}; }

    // The request the emulator received last.
    LoggedRequest lastRequest() const;
    std::vector<LoggedRequest> requests() const;
    // A value of the emulator's state dump: the line that starts with key, in the block of
    // the device uuid (or before all devices for an empty uuid); "<none>" when absent.
    std::string state(const std::string& uuid, const std::string& key) const;
    // Creates a device over a private store and a recall store; returns its name.
    std::string createDevice(const std::string& uuid);
    void control(const std::string& commands) const { ASSERT_EQ(m_emulator.control(commands), 0); }

    tqharness::EmulatorProcess m_emulator;
};

}  // namespace drivertest

#endif
