// Requests that are legal but extreme, callers whose memory is the emulator's own data file,
// callers that give up waiting, and texts that would forge lines of the state dump: each must
// be answered while the emulator serves on. Cases that could stall the emulator run their
// caller in a child process, so a stall fails the case instead of hanging it.

#include "DriverFixture.h"

#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

namespace drivertest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// The status runInChild reports for a child that did not end in time.
constexpr int kHung = -1;

// The lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : lines)
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

// Aborts the FUSE connection of the file system whose device number is dev, as
// /sys/fs/fuse/connections/N/abort does: every request it holds fails. The only way to free
// a process stuck in a request that the file system's own threads wait for.
void AbortConnection(dev_t dev) {
    tqtest::TempDir control;
    // The control file system, mounted in the test's private mount namespace alone.
    if (::mount("fusectl", control.path().c_str(), "fusectl", 0, nullptr) != 0)
        return;
    std::string abort = control / (std::to_string(minor(dev)) + "/abort");
    tqsys::UniqueFd fd = tqsys::OpenRetrying(abort.c_str(), O_WRONLY);
    if (fd.valid()) {
        ssize_t written = ::write(fd.get(), "1", 1);
        (void)written;
    }
    ::umount2(control.path().c_str(), MNT_DETACH);
}

class EmulatorFaultTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        struct stat st;
        if (!IsSkipped() && ::stat(tqharness::kDriverDir, &st) == 0)
            m_mountDev = st.st_dev;
    }

    // Starts body in a child process, which exits with what body returns.
    static pid_t startChild(const std::function<int()>& body) {
        pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(body());
        return pid;
    }

    // Waits for the child to end; its exit status (128 + signal when killed), or kHung.
    static int reap(pid_t pid, Clock::duration timeout) {
        Clock::time_point deadline = Clock::now() + timeout;
        while (true) {
            int status = 0;
            pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (done < 0 && errno != EINTR)
                return kHung;
            if (Clock::now() >= deadline)
                return kHung;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Ends a child that hung on the emulator. Killing it does not end a request the emulator
    // keeps, and an emulator stuck in a request to its own mount cannot even be killed: its
    // connection is aborted, then it is stopped.
    void killHung(pid_t pid) {
        ::kill(pid, SIGKILL);
        if (reap(pid, seconds(2)) == kHung) {
            AbortConnection(m_mountDev);
            m_emulator.kill();
            reap(pid, seconds(10));
        }
    }

    // Runs body in a child process and returns its exit status, or kHung when the child did
    // not end within the timeout (it is then ended, the emulator with it).
    int runInChild(const std::function<int()>& body, Clock::duration timeout = seconds(10)) {
        pid_t pid = startChild(body);
        int status = reap(pid, timeout);
        if (status == kHung)
            killHung(pid);
        return status;
    }

    // Waits until the state shows value for the key of device uuid.
    bool waitForState(const std::string& uuid, const std::string& key, const std::string& value) {
        Clock::time_point deadline = Clock::now() + seconds(5);
        while (state(uuid, key) != value) {
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Starts a child that reads from the device's data file at offset 0 and exits with the
    // errno of the read (0 when it read something).
    static pid_t startReader(const std::string& dataPath) {
        return startChild([dataPath] {
            tqsys::UniqueFd fd = tqsys::OpenRetrying(dataPath.c_str(), O_RDONLY);
            char bytes[100];
            return fd.valid() && ::pread(fd.get(), bytes, sizeof bytes, 0) > 0 ? 0 : errno;
        });
    }

    // A private mapping of the start of a device's data file, made afresh: mapping the file
    // drops its cached pages, so each first touch of a page reads it from the emulator.
    void* mapData(const std::string& dataPath, size_t size) {
        tqsys::UniqueFd fd = tqsys::OpenRetrying(dataPath.c_str(), O_RDWR);
        EXPECT_GE(fd.get(), 0) << dataPath;
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd.get(), 0);
        EXPECT_NE(map, MAP_FAILED) << std::strerror(errno);
        return map;
    }

    dev_t m_mountDev = 0;
};

TEST_F(EmulatorFaultTest, ABitmapTooLargeToKeepIsRefusedWithEfbigAndTheEmulatorServesOn) {
    const long long size = 1LL << 62;  // 2^61 recall extents: a bitmap of 2^58 bytes
    TqBlkBackingStore* priv = privateStore("p", size, 2);
    TqBlkBackingStore* recall = recallStore("r", size, 2);
    unsigned char bitmap[8] = {};
    std::string name;
    EXPECT_TRUE(
        FailedIn(m_driver->createDevice("big", priv, recall, "/dev/recalled", bitmap, &name), EFBIG,
                 "ioctl(TQBLK_CREATE_DEVICE) has failed", "createDevice"));

    // Without a bitmap nothing is sized by the extent count: the same stores make a device.
    ASSERT_OK(m_driver->createDevice("big", priv, recall, &name));
    EXPECT_EQ(state("big", "device-size"), std::to_string(size));
    EXPECT_EQ(state("big", "recall-bitmap"), "0 0");
}

TEST_F(EmulatorFaultTest, ADeviceOfTheLargestSizeShowsItAndIsReadAndWrittenAtItsLastByte) {
    const long long size = LLONG_MAX;
    std::string name;
    ASSERT_OK(m_driver->createDevice("huge", privateStore("p", size, 2), nullptr, &name));
    std::string data = name + ".data";
    struct stat st;
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_EQ(st.st_blocks, size / 512 + 1);

    tqsys::UniqueFd fd = tqsys::OpenRetrying(data.c_str(), O_RDWR);
    ASSERT_GE(fd.get(), 0);
    char byte = 'x';
    ASSERT_EQ(::pread(fd.get(), &byte, 1, size - 1), 1) << std::strerror(errno);
    EXPECT_EQ(byte, '\0');
    ASSERT_EQ(::pwrite(fd.get(), "X", 1, size - 1), 1) << std::strerror(errno);
    ASSERT_EQ(::pread(fd.get(), &byte, 1, size - 1), 1);
    EXPECT_EQ(byte, 'X');
}

TEST_F(EmulatorFaultTest, AStoreDirectoryBelowTheMountIsRefusedInsteadOfStallingCreation) {
    // Looking at the store asks the emulator itself, which must not hold its lock meanwhile.
    int status = runInChild([] {
        tqblk_create_device record;
        std::memset(&record, 0, sizeof record);
        record.device_size = 1 << 20;
        std::strcpy(record.uuid, "below");
        record.private_extent_size = 4096;
        std::strcpy(record.private_dir, "/dev/tqblk/store");
        tqsys::UniqueFd fd = tqsys::OpenRetrying(TQBLK_ADMIN_NODE, O_RDWR);
        return fd.valid() && ::ioctl(fd.get(), TQBLK_CREATE_DEVICE, &record) == 0 ? 0 : errno;
    });
    EXPECT_EQ(status, EINVAL);
}

TEST_F(EmulatorFaultTest, CallerMemoryInAMappingOfADataFileIsReadAndWrittenWithoutStalling) {
    std::string zeros;
    ASSERT_OK(m_driver->createDevice("zeros", privateStore("zeros"), nullptr, &zeros));
    TqBlkBackingStore* priv = privateStore("p");
    TqBlkBackingStore* recall = recallStore("r");  // 16 extents: a bitmap of 2 bytes
    const size_t kPage = 4096;

    // The bitmap read from an untouched page of the mapping.
    auto* map = static_cast<unsigned char*>(mapData(zeros + ".data", 4 * kPage));
    int status = runInChild([&] {
        TqBlkDriverUnix driver;
        std::string name;
        CZyError err = driver.createDevice("mapped", priv, recall, "/dev/recalled", map, &name);
        return err.IsError() ? err.GetErrNo() : 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(state("mapped", "recall-bitmap"), "2 0");
    ::munmap(map, 4 * kPage);

    // The MRU array written into an untouched page.
    control("use 5 mapped\nuse 9 mapped\n");
    map = static_cast<unsigned char*>(mapData(zeros + ".data", 4 * kPage));
    status = runInChild([&] {
        TqBlkDriverUnix driver;
        auto* extents = reinterpret_cast<long long*>(map + kPage);
        int count = 4;
        CZyError err = driver.getMRUExts("mapped", extents, &count);
        if (err.IsError())
            return err.GetErrNo();
        return count == 2 && extents[0] == 9 && extents[1] == 5 ? 0 : 100;
    });
    EXPECT_EQ(status, 0);
    ::munmap(map, 4 * kPage);

    // Reads into the mapping and writes out of it, through the same data file.
    map = static_cast<unsigned char*>(mapData(zeros + ".data", 4 * kPage));
    status = runInChild([&] {
        tqsys::UniqueFd fd = tqsys::OpenRetrying((zeros + ".data").c_str(), O_RDWR);
        bool done = fd.valid() &&
                    ::pread(fd.get(), map + 2 * kPage, kPage, 8 * kPage) == ssize_t(kPage) &&
                    ::pwrite(fd.get(), map + 3 * kPage, kPage, 9 * kPage) == ssize_t(kPage);
        return done ? 0 : errno;
    });
    EXPECT_EQ(status, 0);
    ::munmap(map, 4 * kPage);
}

TEST_F(EmulatorFaultTest, AReadLooksAtTheRecallStoreWithoutHoldingTheEmulatorsLock) {
    std::string data = createDevice("dev") + ".data";
    // The recall store's extents are looked for below the mount, that is in the emulator.
    std::string extents = m_temp / "dev-recall/data";
    tqtest::RemoveTree(extents);
    ASSERT_EQ(::symlink(tqharness::kDriverDir, extents.c_str()), 0);

    pid_t reader = startReader(data);
    int status = runInChild([this] { return waitForState("dev", "io-waiting", "1") ? 0 : 1; });
    if (status == kHung)
        killHung(reader);
    ASSERT_EQ(status, 0);
    long long extent = -1;
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    EXPECT_EQ(extent, 0);
    ASSERT_OK(m_driver->recallFailed("dev", 0, -EIO));
    EXPECT_EQ(reap(reader, seconds(5)), EIO);
}

TEST_F(EmulatorFaultTest, AReaderKilledWhileItWaitsForARecallEndsAtOnce) {
    std::string data = createDevice("dev") + ".data";
    pid_t reader = startReader(data);
    ASSERT_TRUE(waitForState("dev", "io-waiting", "1"));
    ::kill(reader, SIGKILL);
    int status = reap(reader, seconds(5));
    if (status == kHung) {
        // It ends once its recall is answered.
        long long extent = -1;
        EXPECT_OK(m_driver->getRecallRequest("dev", &extent));
        EXPECT_OK(m_driver->recallFailed("dev", extent, -EIO));
        reap(reader, seconds(5));
    }
    ASSERT_EQ(status, 128 + SIGKILL);
    EXPECT_EQ(state("dev", "io-waiting"), "0");

    // The request stays for the service; its answer later finds no reader.
    EXPECT_EQ(state("dev", "queued"), "0");
    long long extent = -1;
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    ASSERT_OK(m_driver->recallDone("dev", extent));
    EXPECT_EQ(state("dev", "answered"), "0:0");
}

TEST_F(EmulatorFaultTest, AReaderInterruptedBySignalWhileItWaitsGetsEintr) {
    std::string data = createDevice("dev") + ".data";
    pid_t reader = startChild([data] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &action, nullptr);
        tqsys::UniqueFd fd = tqsys::OpenRetrying(data.c_str(), O_RDONLY);
        char bytes[100];
        bool interrupted =
            fd.valid() && ::pread(fd.get(), bytes, sizeof bytes, 0) < 0 && errno == EINTR;
        return interrupted ? 0 : 100;
    });
    ASSERT_TRUE(waitForState("dev", "io-waiting", "1"));
    ::kill(reader, SIGUSR1);
    int status = reap(reader, seconds(5));
    if (status == kHung)
        killHung(reader);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(state("dev", "io-waiting"), "0");
}

class LongFetchTest : public EmulatorFaultTest {
  protected:
    std::vector<std::string> emulatorOptions() const override { return {"--recall-wait-ms=60000"}; }
};

TEST_F(LongFetchTest, AFetchThatWaitsEndsWhenItsCallerIsKilled) {
    createDevice("dev");
    pid_t service = startChild([] {
        TqBlkDriverUnix driver;
        long long extent = -1;
        return driver.getRecallRequest("dev", &extent).GetErrNo();
    });
    ASSERT_TRUE(waitForState("dev", "waiting", "1"));
    ::kill(service, SIGKILL);
    int status = reap(service, seconds(5));
    if (status == kHung)
        killHung(service);
    ASSERT_EQ(status, 128 + SIGKILL);
    EXPECT_EQ(state("dev", "waiting"), "0");

    // A request raised now is queued, not handed to the dead fetch.
    control("recall 3 dev");
    EXPECT_EQ(state("dev", "queued"), "3");
}

class ReadLogTest : public EmulatorFaultTest {
  protected:
    std::vector<std::string> emulatorOptions() const override {
        return {"--read-log=" + m_temp / "reads.log"};
    }
};

TEST_F(ReadLogTest, EachExtentAReadReturnsIsLoggedWithItsOriginOnceItsDeviceIsDestroyed) {
    auto* recall = static_cast<TqBlkRecallStore*>(recallStore("dev-recall"));
    std::string name;
    ASSERT_OK(m_driver->createDevice("dev", nullptr, recall, &name));
    const pid_t first = startReader(name + ".data");
    ASSERT_TRUE(waitForState("dev", "io-waiting", "1"));
    long long extent = -1;
    ASSERT_OK(m_driver->getRecallRequest("dev", &extent));
    std::string temp;
    int raw = -1;
    ASSERT_OK(recall->openTempFile(&temp, &raw));
    ::close(raw);
    ASSERT_OK(recall->moveInExtentFile(temp.c_str(), extent));
    ASSERT_OK(m_driver->recallDone("dev", extent));
    ASSERT_EQ(reap(first, seconds(5)), 0);
    const pid_t second = startReader(name + ".data");
    ASSERT_EQ(reap(second, seconds(5)), 0);
    EXPECT_EQ(tqtest::ReadFile(m_temp / "reads.log"), "");  // buffered

    ASSERT_OK(m_driver->destroyDevice("dev"));
    EXPECT_EQ(tqtest::ReadFile(m_temp / "reads.log"),
              name + " 0 recalled " + std::to_string(first) + "\n" + name + " 0 present " +
                  std::to_string(second) + "\n");
}

TEST_F(EmulatorFaultTest, TimeValuesOutOfRangeAreRefusedAndTheLargestDelayHoldsADeviceBack) {
    for (const char* bad : {"ready-delay 9223372036854775", "ready-delay 2147483648",
                            "ready-delay -1", "ready-delay 10x", "fail 5 6"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(m_emulator.control(std::string(bad) + "\n"), EINVAL);
    }
    EXPECT_EQ(state("", "ready-delay"), "0");
    control("ready-delay 2147483647");
    createDevice("dev");
    bool ready = true;
    ASSERT_OK(m_driver->checkDevice("dev", &ready));
    EXPECT_FALSE(ready);

    for (const char* option :
         {"--ready-delay-ms=9223372036854775", "--recall-wait-ms=2147483648"}) {
        SCOPED_TRACE(option);
        std::string output = m_temp / "emulator.out";
        std::string mountPoint = m_temp.path();
        int status = runInChild(
            [&] {
                int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                ::dup2(out, STDERR_FILENO);
                ::execl(TQBLK_EMULATOR_PATH, "tqblk-emulator", option, mountPoint.c_str(),
                        static_cast<char*>(nullptr));
                return 127;
            },
            seconds(3));
        EXPECT_EQ(status, 2);
        EXPECT_NE(tqtest::ReadFile(output).find(std::string(option) +
                                                ": expected a number of milliseconds from 0 to " +
                                                "2147483647"),
                  std::string::npos)
            << tqtest::ReadFile(output);
    }
}

TEST_F(EmulatorFaultTest, ControlCharactersInTextsAreEscapedSoNoneForgesALineOfTheState) {
    const std::string uuid = "a\nconfig 7\tb\\c\x01";
    CZyError err;
    std::unique_ptr<TqBlkBackingStore> store(
        TqBlkPrivateStore::create((m_temp / "p\nend").c_str(), "p", 1 << 20, 4096, &err));
    ASSERT_OK(err);
    std::string name;
    ASSERT_OK(m_driver->createDevice(uuid.c_str(), store.get(), nullptr, &name));

    std::vector<std::string> lines = Lines(m_emulator.state());
    EXPECT_EQ(CountStartingWith(lines, "config "), 1u);
    EXPECT_EQ(CountStartingWith(lines, "end"), 1u);
    EXPECT_EQ(CountStartingWith(lines, "device a\\nconfig 7\\tb\\\\c\\x01"), 1u);
    EXPECT_EQ(CountStartingWith(lines, "private 4096 " + m_temp.path() + "/p\\nend"), 1u);
}

}  // namespace
}  // namespace drivertest
