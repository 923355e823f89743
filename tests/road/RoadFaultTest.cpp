// The whole recall road with the reference service: readers of a device's data file, the
// emulator in the driver's place and tqblk-recalld bringing extents in from an image or a
// source store, through a killed service, a source that cannot be read and many readers; and
// the service's own faults: a second service on one store, leftovers of a killed one, failed
// fetches, a closed log pipe, a source store on another or a read-only file system.

#include "RoadFixture.h"

#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class RoadFaultTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        for (const std::string& mount : m_mounts)
            ::umount2(mount.c_str(), MNT_DETACH);
        RoadTest::TearDown();
    }

    // The service's command line for the device with a source ("--image PATH" or
    // "--source-store DIR"), which brings in only the extents read.
    std::vector<std::string> serviceArgs(int workers, const std::string& sourceOption,
                                         const std::string& source) const {
        return {TQBLK_RECALLD_PATH,      "--uuid",      m_uuid, "--recall-store",
                m_recall->getDir(),      sourceOption,  source, "--workers",
                std::to_string(workers), "--readahead", "0"};
    }

    void startService(int workers, const std::string& sourceOption, const std::string& source) {
        std::string failure =
            m_service.start(serviceArgs(workers, sourceOption, source), m_temp / "service.log");
        ASSERT_EQ(failure, "");
    }

    std::string serviceLog() const { return tqtest::ReadFile(m_temp / "service.log"); }

    // Waits until the service's log holds text `times` times; false on timeout.
    bool waitForLog(const std::string& text, int times = 1,
                    const std::string& log = "service.log") const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Occurrences(tqtest::ReadFile(m_temp / log), text) < times) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Mounts a tmpfs of its own (another file system than the test's) at m_temp/name.
    std::string mountOtherFs(const std::string& name) {
        std::string dir = m_temp / name;
        EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0) << dir;
        EXPECT_EQ(::mount("tqblk-road-other", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, nullptr),
                  0)
            << std::strerror(errno);
        m_mounts.push_back(dir);
        return dir;
    }

    // A recall store at dir holding the pattern in the given extents.
    TqBlkBackingStore* storeAt(const std::string& dir, int extentSize,
                               const std::vector<long long>& extents) {
        CZyError err;
        m_stores.emplace_back(TqBlkRecallStore::create(
            dir.c_str(), "source", m_recall->getDeviceSize(), extentSize, &err));
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        for (long long extent : extents)
            placeExtent(m_stores.back().get(), extent);
        return m_stores.back().get();
    }

    // How many times the service's log says it recalled each extent.
    std::map<long long, int> loggedRecalls() const {
        std::map<long long, int> counts;
        std::istringstream lines(serviceLog());
        std::string line;
        while (std::getline(lines, line)) {
            // After the line's timestamp and level.
            size_t at = line.find(": recalled extent ");
            if (at != std::string::npos)
                ++counts[std::stoll(line.substr(at + 18))];
        }
        return counts;
    }

    // Answers sorted by extent.
    std::vector<std::pair<long long, int>> sortedAnswers() const {
        std::vector<std::pair<long long, int>> answers = answered(m_uuid);
        std::sort(answers.begin(), answers.end());
        return answers;
    }

    // A source store of the device's size whose extents 0 to count - 1 hold the pattern,
    // except `broken`, whose path is a directory: reading or linking it fails.
    std::string makeSourceStore(int extentSize, int count, long long broken) {
        TqBlkBackingStore* source =
            recallStore(m_uuid + "-source", m_recall->getDeviceSize(), extentSize);
        for (long long extent = 0; extent < count; ++extent) {
            if (extent != broken)
                placeExtent(source, extent);
        }
        std::string path;
        EXPECT_OK(source->getExtentFileName(broken, &path));
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
        return source->getDir();
    }

    void checkSourceErrorIsConfined(const std::string& uuid, int sourceExtentSize,
                                    long long brokenSourceExtent);

    tqharness::ChildProcess m_service;
    std::vector<std::string> m_mounts;
};

// Every path below dir, links not followed, sorted.
std::vector<std::string> TreeOf(const std::string& dir) {
    std::vector<std::string> paths;
    for (const std::string& name : EntriesOf(dir)) {
        std::string path = dir + "/" + name;
        paths.push_back(path);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::vector<std::string> below = TreeOf(path);
            paths.insert(paths.end(), below.begin(), below.end());
        }
    }
    return paths;
}

// The exit status of a child, waiting a bounded time; -1 (and the child killed) when it does
// not exit by itself.
int WaitForExit(pid_t pid) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RoadFaultTest, AServiceKilledMidRecallIsRestartedAndEveryWaitingReadCompletes) {
    makeDevice("dev", 2048 * kKiB, 4 * kKiB, 64 * kKiB);
    std::string image = makeImage(2048 * kKiB);
    // The service places each extent and then hangs in its answer, as a service does that
    // is killed between the two: the worker that leads the directory syncs hangs in the first
    // answer, and the extents it was to answer after it wait, placed, unanswered.
    control("hold-answers");
    for (long long extent = 0; extent < 6; ++extent) {
        startRead(extent * 64 * kKiB + 100, 3000);
        startRead(extent * 64 * kKiB + 40 * kKiB, 8 * kKiB);
    }
    ASSERT_TRUE(waitForState("dev", "io-waiting", [](const std::string& v) { return v == "12"; }));
    startService(2, "--image", image);
    ASSERT_TRUE(waitForState("dev", "fetched",
                             [](const std::string& v) { return Numbers(v).size() == 6; }));
    ASSERT_TRUE(waitForState("", "held-answers", [](const std::string& v) { return v == "1"; }));

    m_service.signal(SIGKILL);
    control("drop-answers");
    m_service.stop();
    EXPECT_EQ(state("dev", "io-waiting"), "12");
    EXPECT_EQ(Numbers(state("dev", "fetched")).size(), 6u);
    EXPECT_EQ(state("dev", "answered"), "");

    startService(2, "--image", image);
    for (auto& read : m_reads)
        expectPattern(*read);
    std::vector<std::pair<long long, int>> expected;
    for (long long extent = 0; extent < 6; ++extent)
        expected.emplace_back(extent, 0);
    EXPECT_EQ(sortedAnswers(), expected);
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_EQ(EntriesOf(m_recall->getDir() + "/tmp"), std::vector<std::string>());
}

void RoadFaultTest::checkSourceErrorIsConfined(const std::string& uuid, int sourceExtentSize,
                                               long long brokenSourceExtent) {
    makeDevice(uuid, 512 * kKiB, 4 * kKiB, 64 * kKiB);
    const long long broken = brokenSourceExtent * sourceExtentSize / (64 * kKiB);
    const std::string source =
        makeSourceStore(sourceExtentSize, 512 * kKiB / sourceExtentSize, brokenSourceExtent);
    std::vector<AsyncRead*> failing;
    for (int i = 0; i < 4; ++i) {
        failing.push_back(&startRead(broken * 64 * kKiB + i * 10 * kKiB, 4 * kKiB));
        startRead(1 * 64 * kKiB + i * 10 * kKiB, 4 * kKiB);
        startRead(5 * 64 * kKiB + i * 10 * kKiB, 4 * kKiB);
    }
    // Every reader waits before the service starts: a reader that came after the failed
    // answer would ask again and add an answer of its own.
    ASSERT_TRUE(waitForState(uuid, "io-waiting", [](const std::string& v) { return v == "12"; }));
    startService(2, "--source-store", source);
    for (auto& read : m_reads) {
        if (std::find(failing.begin(), failing.end(), read.get()) != failing.end()) {
            EXPECT_EQ(finish(*read).first, EIO) << uuid;
        } else {
            expectPattern(*read);
        }
    }
    std::vector<std::pair<long long, int>> answers = sortedAnswers();
    ASSERT_EQ(answers.size(), 3u) << uuid;
    EXPECT_EQ(answers[0], std::make_pair(1LL, 0));
    EXPECT_EQ(answers[1].first, broken);
    EXPECT_NE(answers[1].second, 0);
    EXPECT_EQ(answers[2], std::make_pair(5LL, 0));
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{1, 5})) << uuid;
    EXPECT_EQ(EntriesOf(m_recall->getDir() + "/tmp"), std::vector<std::string>()) << uuid;
    // The service logs a failure after answering it; once stopped, its log is complete.
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_NE(serviceLog().find("failed extent " + std::to_string(broken)), std::string::npos);
    m_reads.clear();
}

TEST_F(RoadFaultTest, ASourceReadErrorFailsOnlyThatExtentsReadersAndLeavesNothingBehind) {
    // Same sizes: the service hard-links, and linking a directory fails.
    checkSourceErrorIsConfined("linked", 64 * kKiB, 3);
    // Other sizes: the service copies, and reading a directory fails.
    checkSourceErrorIsConfined("copied", 16 * kKiB, 13);
}

TEST_F(RoadFaultTest, SixtyFourConcurrentReadersGetTheirBytesAndEachExtentIsRecalledOnce) {
    const long long size = 4096 * kKiB;
    makeDevice("dev", size, 4 * kKiB, 64 * kKiB);
    startService(4, "--image", makeImage(size));
    // 64 threads, each reading three places in 32 extents; many extents are read by several
    // threads at once. Offsets vary so reads cross private extents too.
    for (int i = 0; i < 64; ++i) {
        for (int extent : {i % 32, (i * 5 + 3) % 32, (i * 11 + 7) % 32})
            startRead(extent * 64 * kKiB + (i * 3001) % (56 * kKiB), 6000);
    }
    for (auto& read : m_reads)
        expectPattern(*read);
    std::vector<std::pair<long long, int>> expected;
    for (long long extent = 0; extent < 32; ++extent)
        expected.emplace_back(extent, 0);
    EXPECT_EQ(sortedAnswers(), expected);
    EXPECT_EQ(m_service.stop(), 0);
    std::map<long long, int> recalls = loggedRecalls();
    EXPECT_EQ(recalls.size(), 32u);
    for (const auto& entry : recalls)
        EXPECT_EQ(entry.second, 1) << "extent " << entry.first;
}

TEST_F(RoadFaultTest, TheStoresBitmapsAfterARunHoldExactlyTheExtentsReadOrWritten) {
    const long long size = 2048 * kKiB;
    std::string data = makeDevice("dev", size, 16 * kKiB, 64 * kKiB);
    startService(2, "--image", makeImage(size));
    std::set<long long> recalled;
    std::set<long long> written;
    // Reads, extent 7 among them: it is all zeros and comes in as a sparse file.
    for (long long offset : {0LL, 7 * 64 * kKiB + 5, 9 * 64 * kKiB + 60 * kKiB, size - 10}) {
        std::vector<char> bytes;
        ASSERT_EQ(ReadAt(data, offset, 8, &bytes), 0);
        EXPECT_TRUE(bytes == Pattern(offset, std::min<long long>(8, size - offset)));
        recalled.insert(offset / (64 * kKiB));
    }
    // Writes, one of them spanning two private extents in two recall extents.
    for (long long offset : {3 * 64 * kKiB + 100, 12 * 64 * kKiB - 2}) {
        ASSERT_EQ(WriteAt(data, offset, std::vector<char>(4, 'w')), 0);
        for (long long at : {offset, offset + 3}) {
            written.insert(at / (16 * kKiB));
            recalled.insert(at / (64 * kKiB));
        }
    }
    EXPECT_EQ(BitmapOf(m_recall), recalled);
    EXPECT_EQ(BitmapOf(m_private), written);

    std::vector<char> bytes;
    ASSERT_EQ(ReadAt(data, 12 * 64 * kKiB - 4, 8, &bytes), 0);
    std::vector<char> expected = Pattern(12 * 64 * kKiB - 4, 8);
    std::fill(expected.begin() + 2, expected.begin() + 6, 'w');
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(BitmapOf(m_recall), recalled);
}

TEST_F(RoadFaultTest, ASecondServiceOnTheSameRecallStoreRefusesToStartAndTheFirstServesOn) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    std::string image = makeImage(512 * kKiB);
    startService(2, "--image", image);
    ASSERT_TRUE(waitForLog("serving recall requests"));

    tqharness::ChildProcess second;
    ASSERT_EQ(second.start(serviceArgs(2, "--image", image), m_temp / "second.log"), "");
    EXPECT_TRUE(waitForLog("is in use by another process", 1, "second.log"));
    EXPECT_EQ(second.stop(), 1);
    EXPECT_NE(tqtest::ReadFile(m_temp / "second.log").find(m_recall->getDir()), std::string::npos);

    expectPattern(startRead(3 * 64 * kKiB + 10, 5000));
    EXPECT_EQ(m_service.stop(), 0);
    EXPECT_EQ(sortedAnswers(), (std::vector<std::pair<long long, int>>{{3, 0}}));
}

TEST_F(RoadFaultTest, TemporaryFilesLeftInTheRecallStoreAreRemovedWhenTheServiceStarts) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    const std::string tmp = m_recall->getDir() + "/tmp";
    ::mkdir(tmp.c_str(), 0755);
    tqtest::WriteFile(tmp + "/tqblk-tmp-1234", "half an extent");
    ASSERT_EQ(::mkdir((tmp + "/dir").c_str(), 0755), 0);
    tqtest::WriteFile(tmp + "/dir/file", "x");
    // A link is removed, and what it leads to stays.
    tqtest::WriteFile(m_temp / "outside", "keep me");
    ASSERT_EQ(::symlink((m_temp / "outside").c_str(), (tmp + "/link").c_str()), 0);
    placeExtent(m_recall, 2);

    startService(2, "--image", makeImage(512 * kKiB));
    EXPECT_TRUE(waitForLog("removed 3 leftover temporary files"));
    EXPECT_EQ(EntriesOf(tmp), std::vector<std::string>());
    EXPECT_EQ(tqtest::ReadFile(m_temp / "outside"), "keep me");
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{2}));
    expectPattern(startRead(5 * 64 * kKiB, 64 * kKiB));
    EXPECT_EQ(m_service.stop(), 0);
}

TEST_F(RoadFaultTest, FailedFetchesAreRetriedAndTheServiceServesOnUntilItsDeviceIsDestroyed) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    // One worker: before, the first failed fetch ended it and with it the service.
    startService(1, "--image", makeImage(512 * kKiB));
    ASSERT_TRUE(waitForLog("serving recall requests"));
    // Three failed fetches in a row, each injected as soon as the one before was taken.
    // Each errno differs from the one before, so each is logged.
    int failures = 0;
    for (const char* error : {"5", "12", "5"}) {
        control(std::string("fail ") + error);
        ++failures;
        ASSERT_TRUE(waitForLog("Fetching a recall request failed", failures)) << serviceLog();
    }
    expectPattern(startRead(6 * 64 * kKiB + 100, 9000));
    std::string log = serviceLog();
    EXPECT_NE(log.find("Input/output error"), std::string::npos) << log;
    EXPECT_NE(log.find("Cannot allocate memory"), std::string::npos) << log;
    EXPECT_NE(log.find("fetching recall requests works again"), std::string::npos) << log;

    // A destroyed device is gone for good: the service ends by itself, cleanly.
    ASSERT_OK(m_driver->destroyDevice("dev"));
    EXPECT_TRUE(waitForLog("device dev is gone"));
    EXPECT_EQ(m_service.stop(), 0);
}

TEST_F(RoadFaultTest, AServiceWhoseLogPipeIsClosedServesOn) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    std::vector<std::string> words = serviceArgs(2, "--image", makeImage(512 * kKiB));
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    tqsys::UniqueFd writeEnd(pipeFds[1]);
    // No reader from the start: the service's first log line meets a closed pipe.
    ::close(pipeFds[0]);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(writeEnd.get(), STDOUT_FILENO);
        ::dup2(writeEnd.get(), STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    AsyncRead& read = startRead(4 * 64 * kKiB + 7, 3000);
    expectPattern(read);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(WaitForExit(pid), 0);
}

TEST_F(RoadFaultTest, ASourceStoreOnAnotherFileSystemIsCopiedWhereItCannotBeLinked) {
    makeDevice("dev", 512 * kKiB, 4 * kKiB, 64 * kKiB);
    // Same sizes as the recall store: the service links where it can.
    TqBlkBackingStore* source =
        storeAt(mountOtherFs("other") + "/source", 64 * kKiB, {0, 1, 2, 3, 4, 5, 6, 7});
    startService(2, "--source-store", source->getDir());
    expectPattern(startRead(0, 512 * kKiB));
    std::vector<std::pair<long long, int>> expected;
    for (long long extent = 0; extent < 8; ++extent) {
        expected.emplace_back(extent, 0);
        std::string path;
        ASSERT_OK(m_recall->getExtentFileName(extent, &path));
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_nlink, 1u) << path;
    }
    EXPECT_EQ(sortedAnswers(), expected);
    EXPECT_EQ(m_service.stop(), 0);
}

// A source store (writable, then read-only) with the extents of recall extents 0 and 1 and no
// others, in directories mostly missing: the missing ones read as zeros, and the source stays
// exactly as it was.
TEST_F(RoadFaultTest, MissingExtentsOfASourceStoreReadAsZerosAndTheSourceIsNeverChanged) {
    for (bool readOnly : {false, true}) {
        const std::string uuid = readOnly ? "read-only" : "writable";
        makeDevice(uuid, 2048 * kKiB, 4 * kKiB, 64 * kKiB);
        const std::string fs = mountOtherFs(uuid);
        // 512 extents of 4 KiB: names of two levels (data/00/1f), so most directories of
        // the data tree are missing.
        std::vector<long long> present;
        for (long long extent = 0; extent < 32; ++extent)
            present.push_back(extent);
        TqBlkBackingStore* source = storeAt(fs + "/source", 4 * kKiB, present);
        if (readOnly) {
            ASSERT_EQ(::mount(nullptr, fs.c_str(), nullptr,
                              MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr),
                      0)
                << std::strerror(errno);
        }
        const std::vector<std::string> before = TreeOf(source->getDir());
        startService(2, "--source-store", source->getDir());
        expectPattern(startRead(0, 128 * kKiB));
        std::pair<int, std::vector<char>> missing = finish(startRead(20 * 64 * kKiB, 64 * kKiB));
        EXPECT_EQ(missing.first, 0) << uuid;
        EXPECT_TRUE(missing.second == std::vector<char>(64 * kKiB, 0)) << uuid;
        EXPECT_EQ(sortedAnswers(),
                  (std::vector<std::pair<long long, int>>{{0, 0}, {1, 0}, {20, 0}}))
            << uuid;
        EXPECT_EQ(m_service.stop(), 0);
        EXPECT_EQ(TreeOf(source->getDir()), before) << uuid;
        m_reads.clear();
    }
}

}  // namespace
}  // namespace roadtest
