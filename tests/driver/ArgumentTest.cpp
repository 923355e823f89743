// Argument checks: each comes before the admin node is opened, so with no node at all a bad
// argument still reads EINVAL with its own message, and a good one reaches the open.

#include "DriverFixture.h"

#include <functional>

namespace drivertest {
namespace {

using tqtest::Repeat;

struct ArgumentCase {
    const char* function;
    std::function<CZyError(TqBlkDriverUnix&)> call;
    std::string message;
};

const std::string kUuid63 = Repeat('u', 63);
const std::string kUuid64 = Repeat('u', 64);

std::string tooLong(const std::string& uuid) {
    return "UUID \"" + uuid + "\" is too long";
}

class ArgumentTest : public NoNodeTest {
  protected:
    // A store whose directory path is exactly `length` characters long.
    TqBlkBackingStore* storeWithDirLength(size_t length, bool recall) {
        std::string dir = m_temp.path();
        while (dir.size() < length) {
            size_t left = length - dir.size();
            size_t segment = std::min<size_t>(200, left - 1);
            if (left - segment - 1 == 1)
                --segment;  // leave no room for a bare "/"
            dir += "/" + Repeat('d', segment);
        }
        std::string name = dir.substr(m_temp.path().size() + 1);
        return recall ? recallStore(name) : privateStore(name);
    }

    void expectAll(const std::vector<ArgumentCase>& cases) {
        for (const ArgumentCase& c : cases) {
            SCOPED_TRACE(c.function + (": " + c.message));
            EXPECT_TRUE(FailedIn(c.call(*m_driver), EINVAL, c.message, c.function));
        }
    }
};

TEST_F(ArgumentTest, CreationChecksTheCombinationInOrder) {
    TqBlkBackingStore* priv = privateStore("p");
    TqBlkBackingStore* recall = recallStore("r");
    TqBlkBackingStore* otherSize = recallStore("r2", 1 << 21);
    TqBlkBackingStore* smallRecall = recallStore("r3", 1 << 20, 2048);
    int bitmap = 0;
    std::string name = "untouched";
    const char* noUuid = "NULL device UUID passed as input";
    expectAll({
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice(nullptr, priv, recall, &name); }, noUuid},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("", priv, recall, &name); }, noUuid},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", nullptr, nullptr, &name); },
         "At least one backing store must be provided"},
        // Sizes are compared before the UUID's length is.
        {"createDevice",
         [&](TqBlkDriverUnix& d) {
             return d.createDevice(kUuid64.c_str(), priv, otherSize, &name);
         },
         "Private and recall backing store device size do not match"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", priv, recall, "", &bitmap, &name); },
         "Recall device name must accompany recall device bitmap"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) {
             return d.createDevice("u", priv, nullptr, "rd", &bitmap, &name);
         },
         "Recall store must accompany recall device bitmap"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) {
             return d.createAutoAbortDevice("u", nullptr, recall, "rd", nullptr, &name);
         },
         "Private store must accompany recall device"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice(kUuid64.c_str(), priv, recall, &name); },
         tooLong(kUuid64)},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", priv, smallRecall, &name); },
         "Private store's extent size must be less or equal than recall store's extent size"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) {
             return d.createDevice("u", priv, nullptr, Repeat('n', 1024).c_str(), nullptr, &name);
         },
         "Recall device name \"" + Repeat('n', 1024) + "\" is too long"},
    });
    EXPECT_EQ(name, "untouched");
}

TEST_F(ArgumentTest, StoreDirectoriesOf1024CharactersDoNotFitAnd1023Do) {
    TqBlkBackingStore* longPrivate = storeWithDirLength(1024, false);
    TqBlkBackingStore* longRecall = storeWithDirLength(1024, true);
    TqBlkBackingStore* fitting = storeWithDirLength(1023, false);
    TqBlkBackingStore* smallRecall = recallStore("r", 1 << 20, 2048);
    std::string name;
    expectAll({
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", longPrivate, nullptr, &name); },
         "Private store directory \"" + longPrivate->getDir() + "\" is too long"},
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", nullptr, longRecall, &name); },
         "Recall store directory \"" + longRecall->getDir() + "\" is too long"},
        // The directory's length is reported before the extent sizes are compared.
        {"createDevice",
         [&](TqBlkDriverUnix& d) { return d.createDevice("u", longPrivate, smallRecall, &name); },
         "Private store directory \"" + longPrivate->getDir() + "\" is too long"},
    });
    EXPECT_EQ(m_driver
                  ->createDevice(kUuid63.c_str(), fitting, nullptr, Repeat('n', 1023).c_str(),
                                 nullptr, &name)
                  .GetErrNo(),
              ENOENT);
}

TEST_F(ArgumentTest, DeviceStateOperationsRejectMissingAndOverlongNames) {
    bool ready = false;
    const std::string absent64 = "/" + Repeat('x', 63);
    expectAll({
        {"abortDevice", [](TqBlkDriverUnix& d) { return d.abortDevice(nullptr); },
         "NULL device path/UUID passed as input"},
        {"destroyDevice", [](TqBlkDriverUnix& d) { return d.destroyDevice(""); },
         "NULL device path/UUID passed as input"},
        {"abortDevice", [](TqBlkDriverUnix& d) { return d.abortDevice(kUuid64.c_str()); },
         tooLong(kUuid64)},
        // A path that does not exist is a UUID, and this one is too long for that.
        {"destroyDevice", [&](TqBlkDriverUnix& d) { return d.destroyDevice(absent64.c_str()); },
         tooLong(absent64)},
        {"monitorDevice", [](TqBlkDriverUnix& d) { return d.monitorDevice(""); },
         "NULL device UUID passed as input"},
        {"monitorDevice", [](TqBlkDriverUnix& d) { return d.monitorDevice(kUuid64.c_str()); },
         tooLong(kUuid64)},
        {"checkDevice", [&](TqBlkDriverUnix& d) { return d.checkDevice(nullptr, &ready); },
         "NULL device UUID passed as input"},
        {"checkDevice", [&](TqBlkDriverUnix& d) { return d.checkDevice(kUuid64.c_str(), &ready); },
         tooLong(kUuid64)},
    });
    CZyError err = m_driver->waitForDeviceReady("", 10);
    EXPECT_TRUE(FailedIn(err, EINVAL, "NULL device UUID passed as input", "checkDevice"));
    EXPECT_EQ(err.GetLocations().size(), 2u);
    EXPECT_EQ(m_driver->monitorDevice(kUuid63.c_str()).GetErrNo(), ENOENT);
}

TEST_F(ArgumentTest, RecallOperationsCheckUuidThenExtentThenLength) {
    long long extent = 9;
    expectAll({
        {"getRecallRequest", [&](TqBlkDriverUnix& d) { return d.getRecallRequest("", &extent); },
         "NULL device UUID passed as input"},
        {"getRecallRequest",
         [&](TqBlkDriverUnix& d) { return d.getRecallRequest(kUuid64.c_str(), &extent); },
         tooLong(kUuid64)},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallFailed(nullptr, -1, 0); },
         "NULL device UUID passed as input"},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallFailed("u", -1, 0); },
         "Invalid extent -1 passed as input"},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallFailed(kUuid64.c_str(), -2, 0); },
         "Invalid extent -2 passed as input"},
        {"recallFailed", [](TqBlkDriverUnix& d) { return d.recallDone(kUuid64.c_str(), 0); },
         tooLong(kUuid64)},
        {"resubmitRecalls", [](TqBlkDriverUnix& d) { return d.resubmitRecalls(kUuid64.c_str()); },
         tooLong(kUuid64)},
    });
    EXPECT_EQ(extent, 9);
    EXPECT_EQ(m_driver->getRecallRequest(kUuid63.c_str(), &extent).GetErrNo(), ENOENT);
    EXPECT_EQ(m_driver->recallFailed("u", 0, 0).GetErrNo(), ENOENT);
}

TEST_F(ArgumentTest, TuningOperationsCheckOnlyTheUuidsLength) {
    long long extents[4] = {1, 2, 3, 4};
    int count = 4;
    expectAll({
        {"setMRUExts", [](TqBlkDriverUnix& d) { return d.setMRUExts(kUuid64.c_str(), 1); },
         tooLong(kUuid64)},
        {"getMRUExts",
         [&](TqBlkDriverUnix& d) { return d.getMRUExts(kUuid64.c_str(), extents, &count); },
         tooLong(kUuid64)},
        {"setBlockSizes",
         [](TqBlkDriverUnix& d) { return d.setBlockSizes(kUuid64.c_str(), 1, 1, 1, 1); },
         tooLong(kUuid64)},
    });
    EXPECT_EQ(count, 4);
    EXPECT_EQ(extents[0], 1);
}

// A null UUID pointer would crash these; they reject it as their sister operations do.
TEST_F(ArgumentTest, NullUuidPointersAreRejectedWhereEmptyUuidsAreSent) {
    long long extents[1] = {0};
    int count = 1;
    const char* message = "NULL device UUID passed as input";
    expectAll({
        {"resubmitRecalls", [](TqBlkDriverUnix& d) { return d.resubmitRecalls(nullptr); }, message},
        {"setMRUExts", [](TqBlkDriverUnix& d) { return d.setMRUExts(nullptr, 1); }, message},
        {"getMRUExts", [&](TqBlkDriverUnix& d) { return d.getMRUExts(nullptr, extents, &count); },
         message},
        {"setBlockSizes", [](TqBlkDriverUnix& d) { return d.setBlockSizes(nullptr, 1, 2, 3, 4); },
         message},
    });
    EXPECT_EQ(count, 1);
    EXPECT_EQ(m_driver->resubmitRecalls("").GetErrNo(), ENOENT);
    EXPECT_EQ(m_driver->setBlockSizes("", 1, 2, 3, 4).GetErrNo(), ENOENT);
}

}  // namespace
}  // namespace drivertest
