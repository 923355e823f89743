// What "done" promises: an extent the service answered done is on the disk. The recall store
// lives on ext4 over a loop device whose backing file is on a FUSE file system of the tests
// that fails every few large writes with EIO, as a failing disk does; after each round the
// file system is mounted again from the bare image (no page cache, no failures) and every
// extent a reader got must hold the right bytes. And a store on a FUSE file system itself
// must receive a sync of every extent's file.

#include "RoadFixture.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <thread>

namespace roadtest {
namespace {

constexpr int kExtentSize = 256 * 1024;
constexpr long long kDeviceSize = 24LL << 20;
constexpr long long kExtents = kDeviceSize / kExtentSize;

// Runs a shell command; true when it succeeded, its output (errors too) in *out.
bool run(const std::string& command, std::string* out = nullptr) {
    tqtest::CommandRun r = tqtest::RunCommand(command + " 2>&1");
    if (out != nullptr)
        *out = r.out;
    return r.status == 0;
}

// A mount that is gone on every path out; a loop mount's device detaches with it.
struct Mount {
    std::string dir;
    ~Mount() {
        if (!dir.empty())
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    bool release() {
        bool ok = ::umount(dir.c_str()) == 0;
        dir.clear();
        return ok;
    }
};

std::map<std::string, long long> readReport(const std::string& path) {
    std::map<std::string, long long> counts;
    std::ifstream in(path);
    std::string key;
    long long value;
    while (in >> key >> value)
        counts[key] = value;
    return counts;
}

class DurableTest : public RoadTest {
  protected:
    void SetUp() override {
        RoadTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        if (!run("command -v mkfs.ext4 debugfs"))
            GTEST_SKIP() << "no e2fsprogs";
        m_back = m_temp / "back";
        m_fuse = m_temp / "fuse";
        m_disk = m_temp / "disk";
        for (const std::string& dir : {m_back, m_fuse, m_disk})
            ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
        m_image = makeImage(kDeviceSize);
    }
    void TearDown() override {
        m_service.stop();
        m_disk_mount.reset();
        m_faultfs.stop();
        RoadTest::TearDown();
    }

    // Mounts the test's FUSE file system over m_back, failing as env says.
    void startFaultFs(const std::vector<std::string>& env) {
        ::unlink(report().c_str());
        ASSERT_EQ(m_faultfs.start({TQBLK_FAULTFS_PATH, m_back, m_fuse, "-f"},
                                  m_temp / "faultfs.log", env),
                  "");
        struct stat below, mounted;
        ASSERT_EQ(::stat(m_temp.path().c_str(), &below), 0);
        for (int i = 0; i < 500; ++i) {
            if (::stat(m_fuse.c_str(), &mounted) == 0 && mounted.st_dev != below.st_dev)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "the FUSE file system did not come up: "
               << tqtest::ReadFile(m_temp / "faultfs.log");
    }
    std::map<std::string, long long> stopFaultFs() {
        m_faultfs.stop();
        return readReport(report());
    }
    std::string report() const { return m_temp / "faultfs.report"; }

    void startService(TqBlkBackingStore* store) {
        std::string name;
        ASSERT_OK(m_driver->createDevice(m_uuid.c_str(), nullptr, store, &name));
        m_dataPath = name + ".data";
        ASSERT_EQ(m_service.start({TQBLK_RECALLD_PATH, "--uuid", m_uuid, "--recall-store",
                                   store->getDir(), "--image", m_image, "--workers", "4"},
                                  m_temp / "service.log"),
                  "");
    }

    // Reads every extent on several threads; the extents whose read succeeded, which must
    // have returned the image's bytes.
    std::set<long long> readAll() {
        std::vector<std::thread> readers;
        std::mutex mutex;
        std::set<long long> got;
        for (int r = 0; r < 6; ++r) {
            readers.emplace_back([&, r] {
                for (long long extent = r; extent < kExtents; extent += 6) {
                    std::vector<char> bytes;
                    long long offset = extent * kExtentSize;
                    if (ReadAt(m_dataPath, offset, kExtentSize, &bytes) != 0)
                        continue;
                    std::lock_guard<std::mutex> lock(mutex);
                    EXPECT_TRUE(bytes == Pattern(offset, kExtentSize)) << "extent " << extent;
                    got.insert(extent);
                }
            });
        }
        for (std::thread& reader : readers)
            reader.join();
        return got;
    }

    void endDevice(TqBlkBackingStore* store) {
        EXPECT_EQ(m_service.stop(), 0) << tqtest::ReadFile(m_temp / "service.log");
        ::unlink((m_temp / "service.log").c_str());
        std::string name = m_dataPath.substr(0, m_dataPath.size() - 5);
        EXPECT_OK(m_driver->destroyDevice(name.c_str()));
        for (auto it = m_stores.begin(); it != m_stores.end(); ++it) {
            if (it->get() == store) {
                m_stores.erase(it);
                break;
            }
        }
    }

    // The bytes [start, end) of the image's journal, which the failing disk leaves alone: a
    // failed journal write stops the whole file system rather than one file.
    std::string journalRange(const std::string& image) {
        std::smatch match;
        std::string stat;
        if (!run("debugfs -R 'stat <8>' " + image, &stat) ||
            !std::regex_search(stat, match, std::regex(R"(\(0-\d+\):(\d+)-(\d+))")))
            return "";
        return std::to_string(std::stoll(match[1]) * 4096) + ":" +
               std::to_string((std::stoll(match[2]) + 1) * 4096);
    }

    void round(int number, long long* failedWrites, long long* failedReads);

    std::string m_back, m_fuse, m_disk, m_image;
    std::unique_ptr<Mount> m_disk_mount;
    tqharness::ChildProcess m_faultfs, m_service;
};

void DurableTest::round(int number, long long* failedWrites, long long* failedReads) {
    const std::string image = m_back + "/disk.img";
    ASSERT_TRUE(run("truncate -s 64M " + image + " && mkfs.ext4 -q -F -b 4096 -E " +
                    "lazy_itable_init=0,lazy_journal_init=0 " + image));
    const std::string journal = journalRange(image);
    ASSERT_NE(journal, "");
    startFaultFs({"FAULTFS_FAIL_EVERY=" + std::to_string(3 + number % 5), "FAULTFS_FAIL_MIN=65536",
                  "FAULTFS_KEEP=" + journal, "FAULTFS_REPORT=" + report()});
    m_disk_mount.reset(new Mount);
    ASSERT_TRUE(run("mount -o loop,nodev,nosuid " + m_fuse + "/disk.img " + m_disk));
    m_disk_mount->dir = m_disk;
    m_uuid = "durable" + std::to_string(number);
    TqBlkBackingStore* store = recallStore("disk/" + m_uuid, kDeviceSize, kExtentSize);
    startService(store);
    std::set<long long> got = readAll();
    std::map<long long, std::string> files;
    for (long long extent : got)
        ASSERT_OK(store->getExtentFileName(extent, &files[extent]));
    endDevice(store);
    EXPECT_TRUE(m_disk_mount->release());
    *failedWrites += stopFaultFs()["failed"];
    *failedReads += kExtents - static_cast<long long>(got.size());

    // The disk as it is, without the page cache that still holds what never reached it.
    ASSERT_TRUE(run("mount -o loop,ro,nodev,nosuid " + image + " " + m_disk));
    m_disk_mount->dir = m_disk;
    for (const auto& file : files) {
        std::vector<char> bytes;
        EXPECT_EQ(ReadAt(file.second, 0, kExtentSize, &bytes), 0) << file.second;
        EXPECT_TRUE(bytes == Pattern(file.first * kExtentSize, kExtentSize))
            << "extent " << file.first << " was answered done but its bytes are not on the disk";
    }
    EXPECT_TRUE(m_disk_mount->release());
}

TEST_F(DurableTest, EveryExtentAnsweredDoneIsOnAFailingDiskAfterARemount) {
    long long failedWrites = 0, failedReads = 0;
    for (int number = 0; number < 8 && !HasFatalFailure(); ++number) {
        SCOPED_TRACE("round " + std::to_string(number));
        round(number, &failedWrites, &failedReads);
    }
    // The disk failed writes and the service answered those recalls failed.
    EXPECT_GT(failedWrites, 0);
    EXPECT_GT(failedReads, 0);
}

TEST_F(DurableTest, AStoreOnFuseReceivesASyncOfEveryExtentsFile) {
    startFaultFs({"FAULTFS_REPORT=" + report()});
    m_uuid = "onfuse";
    TqBlkBackingStore* store = recallStore("fuse/" + m_uuid, kDeviceSize, kExtentSize);
    startService(store);
    EXPECT_EQ(readAll().size(), static_cast<size_t>(kExtents));
    endDevice(store);
    EXPECT_GE(stopFaultFs()["fsyncs-tmp"], kExtents);
}

}  // namespace
}  // namespace roadtest
