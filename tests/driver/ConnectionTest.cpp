// The admin connection: lazy open, one descriptor per object, and what every operation does
// when the node is missing.

#include "DriverFixture.h"

#include <tqsys/UniqueFd.h>

#include <dirent.h>
#include <unistd.h>

#include <functional>

namespace drivertest {
namespace {

using Call = std::function<CZyError(TqBlkDriverUnix&)>;

struct NamedCall {
    const char* function;  // the operation whose location the error must carry outermost
    Call call;
};

// How many of the process's descriptors are open on the admin node.
int adminDescriptors() {
    int count = 0;
    tqsys::UniqueDir dir(::opendir("/proc/self/fd"));
    if (!dir.valid())
        return -1;
    while (struct dirent* entry = ::readdir(dir.get())) {
        char target[256] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::string(target) == TQBLK_ADMIN_NODE) {
            ++count;
        }
    }
    return count;
}

TEST_F(NoNodeTest, EveryOperationReportsTheMissingNodeWithItsOwnLocationOnTop) {
    TqBlkBackingStore* store = privateStore("p");
    long long extent = 77;
    int config = 78;
    int count = 2;
    bool ready = false;
    long long extents[2] = {5, 6};
    std::string name = "untouched";
    int fd = 79;
    const std::vector<NamedCall> calls = {
        // getFD passes open's error up as it came, with no location of its own.
        {"open", [&](TqBlkDriverUnix& d) { return d.getFD(&fd); }},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", store, nullptr, &name); }},
        {"createDevice",
         [&](TqBlkDriverUnix& d) {
             return d.createAutoAbortDevice("u", store, nullptr, "r", nullptr, &name);
         }},
        {"abortDevice", [](TqBlkDriverUnix& d) { return d.abortDevice("u"); }},
        {"destroyDevice", [](TqBlkDriverUnix& d) { return d.destroyDevice("/no/such/path"); }},
        {"monitorDevice", [](TqBlkDriverUnix& d) { return d.monitorDevice("u"); }},
        {"checkDevice", [&](TqBlkDriverUnix& d) { return d.checkDevice("u", &ready); }},
        {"getRecallRequest", [&](TqBlkDriverUnix& d) { return d.getRecallRequest("u", &extent); }},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallDone("u", 0); }},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallFailed("u", 1, -5); }},
        {"getConfig", [&](TqBlkDriverUnix& d) { return d.getConfig(&config); }},
        {"setConfig", [](TqBlkDriverUnix& d) { return d.setConfig(-1); }},
        {"setMRUExts", [](TqBlkDriverUnix& d) { return d.setMRUExts("", 3); }},
        {"getMRUExts", [&](TqBlkDriverUnix& d) { return d.getMRUExts("u", extents, &count); }},
        {"setBlockSizes", [](TqBlkDriverUnix& d) { return d.setBlockSizes("u", 1, 2, 3, 4); }},
        {"resubmitRecalls", [](TqBlkDriverUnix& d) { return d.resubmitRecalls(""); }},
        {"waitForDeviceReady", [](TqBlkDriverUnix& d) { return d.waitForDeviceReady("u", 5); }},
    };
    for (const NamedCall& named : calls) {
        SCOPED_TRACE(named.function);
        CZyError err = named.call(*m_driver);
        EXPECT_TRUE(tqtest::HasError(err, ENOENT, {"Couldn't open /dev/tqblk/admin"}));
        std::vector<JQCodeLocation> where = err.GetLocations();
        ASSERT_FALSE(where.empty());
        EXPECT_NE(std::string(where.front().m_function).find("TqBlkDriverUnix::open()"),
                  std::string::npos);
        EXPECT_NE(std::string(where.back().m_function).find(named.function), std::string::npos)
            << where.back().m_function;
    }
    EXPECT_EQ(extent, 77);
    EXPECT_EQ(config, 78);
    EXPECT_EQ(count, 2);
    EXPECT_FALSE(ready);
    EXPECT_EQ(extents[0], 5);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(fd, 79);
    EXPECT_EQ(adminDescriptors(), 0);
}

TEST_F(NoNodeTest, WaitingPushesItsLocationOverCheckDevice) {
    CZyError err = m_driver->waitForDeviceReady("u", 5);
    ASSERT_EQ(err.GetLocations().size(), 3u);
    EXPECT_NE(std::string(err.GetLocations()[1].m_function).find("checkDevice"), std::string::npos);
    EXPECT_EQ(std::string(err.GetLocations()[2].m_file), "TqBlkDriverUnix.cpp");
}

TEST_F(NoNodeTest, ANodeThatAppearsLaterIsOpenedByTheNextCall) {
    int config = 0;
    EXPECT_TRUE(
        tqtest::HasError(m_driver->getConfig(&config), ENOENT, {"Couldn't open /dev/tqblk/admin"}));
    tqharness::EmulatorProcess emulator;
    ASSERT_EQ(emulator.start(tqharness::kDriverDir), "");
    EXPECT_OK(m_driver->setConfig(41));
    EXPECT_OK(m_driver->getConfig(&config));
    EXPECT_EQ(config, 41);
    m_driver.reset();
}

TEST_F(DriverTest, TheNodeIsOpenedOnceOnFirstUseAndClosedWithTheObject) {
    m_driver.reset(new TqBlkDriverUnix);
    EXPECT_EQ(adminDescriptors(), 0);
    ASSERT_OK(m_driver->open());
    ASSERT_OK(m_driver->open());
    EXPECT_EQ(adminDescriptors(), 1);
    int fd = -1;
    ASSERT_OK(m_driver->getFD(&fd));
    EXPECT_GE(fd, 0);

    // A request the driver fails leaves the descriptor open and in use.
    control("fail 5");
    int config = 0;
    EXPECT_TRUE(tqtest::HasError(m_driver->getConfig(&config), EIO,
                                 {"ioctl(TQBLK_GET_CONFIG) has failed"}));
    int again = -1;
    ASSERT_OK(m_driver->getFD(&again));
    EXPECT_EQ(again, fd);
    EXPECT_EQ(adminDescriptors(), 1);
    m_driver.reset();
    EXPECT_EQ(adminDescriptors(), 0);
}

TEST_F(DriverTest, GetFDOpensAnUnopenedObject) {
    int fd = -1;
    ASSERT_OK(m_driver->getFD(&fd));
    EXPECT_EQ(adminDescriptors(), 1);
    char target[64] = {};
    ASSERT_GT(::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, 63), 0);
    EXPECT_STREQ(target, TQBLK_ADMIN_NODE);
}

TEST_F(NoNodeTest, TheDefaultCheckReportsEveryDeviceReady) {
    bool ready = false;
    EXPECT_OK(m_driver->TqBlkDriver::checkDevice("", &ready));
    EXPECT_TRUE(ready);
    EXPECT_EQ(adminDescriptors(), 0);
}

}  // namespace
}  // namespace drivertest
