// The bytes each operation sends, as the emulator received them, and what the library reads
// back from the driver's answer.

#include "DriverFixture.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <functional>

namespace drivertest {
namespace {

using tqtest::Repeat;

template <class Record>
Record zeroed() {
    Record record;
    std::memset(&record, 0, sizeof record);
    return record;
}

template <size_t N>
void setText(char (&field)[N], const std::string& text) {
    std::memcpy(field, text.data(), text.size());
}

struct RecordCase {
    const char* what;
    std::function<CZyError(TqBlkDriverUnix&)> call;
    unsigned int code;
    std::vector<unsigned char> bytes;
};

template <class Record>
Record withUuid(const std::string& uuid) {
    Record record = zeroed<Record>();
    setText(record.uuid, uuid);
    return record;
}

TEST_F(DriverTest, EveryOperationSendsItsRecordByteForByte) {
    createDevice("dev-n0");
    const std::string node = createDevice("dev-n1");
    auto byUuid = withUuid<tqblk_device_ref>("dev-a");
    byUuid.minor = -1;
    auto absentPath = withUuid<tqblk_device_ref>("/no/such/node");
    absentPath.minor = -1;
    auto byNode = zeroed<tqblk_device_ref>();  // the node's minor only, no UUID
    byNode.minor = 1;
    auto recall = withUuid<tqblk_recall_done>("dev-r");
    recall.extent = 5;
    auto failed = recall;
    failed.extent = 6;
    failed.error = -5;
    auto config = zeroed<tqblk_config>();
    config.config = -123456;
    auto setMru = zeroed<tqblk_set_mru_exts>();
    setMru.count = -3;
    long long extents[8];
    int count = 8;
    auto getMru = withUuid<tqblk_get_mru_exts>("dev-x");
    getMru.count = 8;
    getMru.extents = reinterpret_cast<uintptr_t>(extents);
    auto sizes = withUuid<tqblk_block_sizes>("dev-b");
    int values[4] = {512, -1, 0, 65536};
    std::memcpy(sizes.block_sizes, values, sizeof values);
    bool ready = false;
    long long extent = 0;
    int word = 0;
    const std::string uuid63 = Repeat('u', 63);

    const std::vector<RecordCase> cases = {
        {"abort by UUID", [](TqBlkDriverUnix& d) { return d.abortDevice("dev-a"); },
         TQBLK_ABORT_DEVICE, bytesOf(byUuid)},
        {"destroy by a path that does not exist",
         [](TqBlkDriverUnix& d) { return d.destroyDevice("/no/such/node"); }, TQBLK_DESTROY_DEVICE,
         bytesOf(absentPath)},
        {"abort by the path of a device node",
         [&](TqBlkDriverUnix& d) { return d.abortDevice(node.c_str()); }, TQBLK_ABORT_DEVICE,
         bytesOf(byNode)},
        {"monitor", [](TqBlkDriverUnix& d) { return d.monitorDevice("dev-m"); },
         TQBLK_MONITOR_DEVICE, bytesOf(withUuid<tqblk_device_uuid>("dev-m"))},
        {"check with 63 characters",
         [&](TqBlkDriverUnix& d) { return d.checkDevice(uuid63.c_str(), &ready); },
         TQBLK_CHECK_DEVICE, bytesOf(withUuid<tqblk_check_device>(uuid63))},
        {"fetch", [&](TqBlkDriverUnix& d) { return d.getRecallRequest("dev-g", &extent); },
         TQBLK_GET_RECALL_REQUEST, bytesOf(withUuid<tqblk_recall_request>("dev-g"))},
        {"done", [](TqBlkDriverUnix& d) { return d.recallDone("dev-r", 5); }, TQBLK_RECALL_DONE,
         bytesOf(recall)},
        {"failed with 0 as done", [](TqBlkDriverUnix& d) { return d.recallFailed("dev-r", 5, 0); },
         TQBLK_RECALL_DONE, bytesOf(recall)},
        {"failed", [](TqBlkDriverUnix& d) { return d.recallFailed("dev-r", 6, -5); },
         TQBLK_RECALL_DONE, bytesOf(failed)},
        {"resubmit an empty UUID", [](TqBlkDriverUnix& d) { return d.resubmitRecalls(""); },
         TQBLK_RESUBMIT_RECALLS, bytesOf(zeroed<tqblk_device_uuid>())},
        {"set config", [](TqBlkDriverUnix& d) { return d.setConfig(-123456); }, TQBLK_SET_CONFIG,
         bytesOf(config)},
        {"get config sends nothing",
         [&](TqBlkDriverUnix& d) { return d.getConfig(&word); },
         TQBLK_GET_CONFIG,
         {}},
        {"set MRU with an empty UUID", [](TqBlkDriverUnix& d) { return d.setMRUExts("", -3); },
         TQBLK_SET_MRU_EXTS, bytesOf(setMru)},
        {"get MRU", [&](TqBlkDriverUnix& d) { return d.getMRUExts("dev-x", extents, &count); },
         TQBLK_GET_MRU_EXTS, bytesOf(getMru)},
        {"block sizes in argument order",
         [](TqBlkDriverUnix& d) { return d.setBlockSizes("dev-b", 512, -1, 0, 65536); },
         TQBLK_SET_BLOCK_SIZES, bytesOf(sizes)},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.what);
        c.call(*m_driver);
        LoggedRequest sent = lastRequest();
        EXPECT_EQ(sent.code, c.code);
        EXPECT_EQ(sent.bytes, c.bytes);
    }
}

TEST_F(DriverTest, CreationSendsEachStoreTheRecallDeviceAndTheFlag) {
    TqBlkBackingStore* priv = privateStore("p", 1 << 20, 4096);
    TqBlkBackingStore* recall = recallStore("r", 1 << 20, 65536);
    std::vector<unsigned char> bitmap(2, 0x81);
    std::string name;

    ASSERT_OK(m_driver->createAutoAbortDevice("both", priv, recall, "rdev", bitmap.data(), &name));
    auto full = withUuid<tqblk_create_device>("both");
    full.device_size = 1 << 20;
    full.private_extent_size = 4096;
    setText(full.private_dir, priv->getDir());
    full.recall_extent_size = 65536;
    setText(full.recall_dir, recall->getDir());
    setText(full.recall_device_name, "rdev");
    full.recall_bitmap = reinterpret_cast<uintptr_t>(bitmap.data());
    full.auto_abort = 1;
    EXPECT_EQ(lastRequest().code, TQBLK_CREATE_DEVICE);
    EXPECT_EQ(lastRequest().bytes, bytesOf(full));
    EXPECT_EQ(name, "/dev/tqblk/tqblk0");
    EXPECT_EQ(state("both", "recall-bitmap"), "2 4");  // the emulator read the caller's bitmap

    // A recall store alone; an empty recall device name counts as none.
    ASSERT_OK(m_driver->createDevice("recall-only", nullptr, recall, "", nullptr, &name));
    auto recallOnly = withUuid<tqblk_create_device>("recall-only");
    recallOnly.device_size = 1 << 20;
    recallOnly.recall_extent_size = 65536;
    setText(recallOnly.recall_dir, recall->getDir());
    EXPECT_EQ(lastRequest().bytes, bytesOf(recallOnly));
    EXPECT_EQ(name, "/dev/tqblk/tqblk1");

    ASSERT_OK(m_driver->createAutoAbortDevice("private-only", priv, nullptr, &name));
    auto privateOnly = withUuid<tqblk_create_device>("private-only");
    privateOnly.device_size = 1 << 20;
    privateOnly.private_extent_size = 4096;
    setText(privateOnly.private_dir, priv->getDir());
    privateOnly.auto_abort = 1;
    EXPECT_EQ(lastRequest().bytes, bytesOf(privateOnly));
}

TEST_F(DriverTest, ResultsComeBackFromTheDriversAnswer) {
    std::string name = createDevice("dev");
    struct stat st;
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 240u);
    EXPECT_EQ(minor(st.st_rdev), 0u);

    bool ready = false;
    ASSERT_OK(m_driver->checkDevice("dev", &ready));
    EXPECT_TRUE(ready);
    ASSERT_OK(m_driver->setConfig(-7));
    int config = 0;
    ASSERT_OK(m_driver->getConfig(&config));
    EXPECT_EQ(config, -7);
}

// The driver's errno and the request's message come back, and no output changes.
TEST_F(DriverTest, AFailedRequestCarriesTheDriversErrnoAndLeavesOutputsAlone) {
    createDevice("dev");
    bool ready = true;
    long long extent = 11;
    int config = 12;
    long long extents[2] = {13, 14};
    int count = 2;
    std::string name = "kept";
    TqBlkBackingStore* priv = privateStore("another");
    struct FailCase {
        const char* message;
        const char* function;
        std::function<CZyError()> call;
    };
    const std::vector<FailCase> cases = {
        {"ioctl(TQBLK_CREATE_DEVICE) has failed", "createDevice",
         [&] { return m_driver->createDevice("new", priv, nullptr, &name); }},
        {"ioctl(TQBLK_ABORT_DEVICE) has failed", "abortDevice",
         [&] { return m_driver->abortDevice("dev"); }},
        {"ioctl(TQBLK_DESTROY_DEVICE) has failed", "destroyDevice",
         [&] { return m_driver->destroyDevice("dev"); }},
        {"ioctl(TQBLK_MONITOR_DEVICE) has failed", "monitorDevice",
         [&] { return m_driver->monitorDevice("dev"); }},
        {"ioctl(TQBLK_CHECK_DEVICE) has failed", "checkDevice",
         [&] { return m_driver->checkDevice("dev", &ready); }},
        {"ioctl(TQBLK_GET_RECALL_REQUEST) has failed", "getRecallRequest",
         [&] { return m_driver->getRecallRequest("dev", &extent); }},
        {"ioctl(TQBLK_RECALL_DONE) has failed", "recallFailed",
         [&] { return m_driver->recallDone("dev", 1); }},
        {"ioctl(TQBLK_GET_CONFIG) has failed", "getConfig",
         [&] { return m_driver->getConfig(&config); }},
        {"ioctl(TQBLK_SET_CONFIG) has failed", "setConfig", [&] { return m_driver->setConfig(1); }},
        {"ioctl(TQBLK_SET_MRU_EXTS) has failed", "setMRUExts",
         [&] { return m_driver->setMRUExts("dev", 1); }},
        {"ioctl(TQBLK_GET_MRU_EXTS) has failed", "getMRUExts",
         [&] { return m_driver->getMRUExts("dev", extents, &count); }},
        {"ioctl(TQBLK_SET_BLOCK_SIZES) has failed", "setBlockSizes",
         [&] { return m_driver->setBlockSizes("dev", 512, 512, 512, 512); }},
        {"ioctl(TQBLK_RESUBMIT_RECALLS) has failed", "resubmitRecalls",
         [&] { return m_driver->resubmitRecalls("dev"); }},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.message);
        control("fail 121");  // EREMOTEIO: no operation makes it up on its own
        EXPECT_TRUE(FailedIn(c.call(), EREMOTEIO, c.message, c.function));
    }
    EXPECT_TRUE(ready);
    EXPECT_EQ(extent, 11);
    EXPECT_EQ(config, 12);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(extents[0], 13);
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(state("new", "minor"), "<none>");
    EXPECT_EQ(state("dev", "aborted"), "0");
}

}  // namespace
}  // namespace drivertest
