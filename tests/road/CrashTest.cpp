// Crashes at each step of a recall. The real recall service is killed with SIGKILL at one
// system call of its work by the kill shim preloaded into it; the emulator is killed at
// random instants while a service recalls and readers read. After each crash a new service
// (and emulator) must bring every read to the right bytes, lose no request, leave stores
// that check clean and never show an extent whose bytes are wrong.

#include "RoadFixture.h"

#include <tqblk/TqBlkStoreCheck.h>
#include <tqblk/unix/tqblk_admin.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <random>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;
constexpr int kExtentSize = 64 * 1024;
constexpr long long kDeviceSize = 1024 * kKiB;
constexpr long long kEmulatorDeviceSize = 4096 * kKiB;

std::string describeStatus(int status) {
    if (status == -1)
        return "still running";
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

bool killedBySigkill(int status) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Where the shim kills the service: at the nth call of `call` that matches, before, after
// or in the middle of it.
struct Step {
    const char* name;
    const char* call;
    int nth;
    const char* when;
    std::string match;
    // What the kill leaves: files in the recall store's tmp, and the extents present.
    size_t tempsLeft;
    std::set<long long> present;
    bool fromStore = false;  // copy from a source store of other sizes: buffered writes
    // With more than one worker the order of their calls varies, and with it what the kill
    // leaves: tempsLeft and present are not checked.
    int workers = 1;
};

// Every path into the recall store's temporary directory and only those.
const std::string kRecallTemp = "-recall/tmp/temp";
// The recall store's data directory, which the service syncs after each move-in.
const std::string kRecallData = "-recall/data";

std::vector<Step> recallSteps() {
    const std::string fetch = std::to_string(TQBLK_GET_RECALL_REQUEST);
    const std::string done = std::to_string(TQBLK_RECALL_DONE);
    // The store is new: the first temporary file and the first move-in each fail once, finding
    // their directory missing, before it is made.
    return {
        {"request fetched", "ioctl", 1, "after", fetch, 0, {}},
        {"temporary file opened", "open", 2, "after", kRecallTemp, 1, {}},
        {"half the extent copied", "sendfile", 1, "mid", kRecallTemp, 1, {}},
        {"half the extent written", "write", 1, "mid", kRecallTemp, 1, {}, true},
        // Each extent waits for two syncs: its file's bytes, then its directory.
        {"written, not synced", "fdatasync", 1, "before", kRecallTemp, 1, {}},
        {"synced, not moved in", "fdatasync", 1, "after", kRecallTemp, 1, {}},
        {"moved in, not answered", "rename", 2, "after", kRecallTemp, 0, {2}},
        {"moved in, entry not synced", "fsync", 1, "before", kRecallData, 0, {2}},
        {"entry synced, not answered", "fsync", 1, "after", kRecallData, 0, {2}},
        {"answer not sent", "ioctl", 1, "before", done, 0, {2}},
        {"answered", "ioctl", 1, "after", done, 0, {2}},
        // The second extent in the queue is all zeros and comes in sparse.
        {"sparse extent: temporary file opened", "open", 3, "after", kRecallTemp, 1, {2}},
        {"sparse extent: last byte not written", "write", 1, "before", kRecallTemp, 1, {2}},
        {"sparse extent: synced, not moved in", "fsync", 1, "after", kRecallTemp, 1, {2}},
        {"sparse extent: moved in, not answered", "rename", 3, "after", kRecallTemp, 0, {2, 7}},
        // Its bytes are synced by the store itself; its entry by the service.
        {"sparse extent: entry synced, not answered", "fsync", 2, "after", kRecallData, 0, {2, 7}},
        // Both workers hold a request when one of them dies.
        {"two workers: an extent half copied", "sendfile", 2, "mid", kRecallTemp, 0, {}, false, 2},
    };
}

class CrashTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        RoadTest::TearDown();
    }

    // Starts the service for the device with the environment additions given; with one
    // worker the order of its calls is fixed.
    void startService(int workers, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv = {TQBLK_RECALLD_PATH,
                                         "--uuid",
                                         m_uuid,
                                         "--recall-store",
                                         m_recall->getDir(),
                                         m_source.empty() ? "--image" : "--source-store",
                                         m_source.empty() ? m_image : m_source,
                                         "--workers",
                                         std::to_string(workers),
                                         "--durable",
                                         "--readahead",
                                         "0"};
        argv.insert(argv.end(), m_extraArgs.begin(), m_extraArgs.end());
        ASSERT_EQ(m_service.start(argv, m_temp / "service.log", env), "");
    }

    // The kill shim's settings for a step.
    static std::vector<std::string> shimFor(const Step& step) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        return {std::string("LD_PRELOAD=") + TQBLK_KILL_SHIM_PATH,
                std::string("TQBLK_KILL_AT=") + step.call,
                "TQBLK_KILL_NTH=" + std::to_string(step.nth),
                std::string("TQBLK_KILL_WHEN=") + step.when, "TQBLK_KILL_MATCH=" + step.match,
                // The shim comes before the sanitizer's runtime in the load order.
                std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                    ":verify_asan_link_order=0"};
    }

    // A source store with other sizes than the recall store's, holding the image's bytes.
    std::string makeSourceStore() {
        TqBlkBackingStore* source = recallStore(m_uuid + "-source", kDeviceSize, 16 * kKiB);
        for (long long extent = 0; extent < kDeviceSize / (16 * kKiB); ++extent)
            placeExtent(source, extent);
        return source->getDir();
    }

    // What the store checker finds wrong with a store, measured against the image, apart
    // from temporary files: a killed service leaves those, and the next one removes them.
    std::vector<std::string> wrongExtents(TqBlkBackingStore* store) const;
    // Expects `tqblk-ctl check-store` to find the store clean, verified against the image.
    void expectStoreClean(TqBlkBackingStore* store);
    void crashAt(const Step& step);
    void crashAndRecover(const std::vector<Step>& kills);
    void expectRecovery();
    void restartEmulator();
    void expectReadsEndSoundly();
    void killEmulatorMidRecall(std::mt19937& random);

    std::string m_image;
    std::string m_source;
    std::vector<std::string> m_extraArgs;  // more service options
    tqharness::ChildProcess m_service;
};

std::vector<std::string> CrashTest::wrongExtents(TqBlkBackingStore* store) const {
    TqBlkStoreCheckOptions options;
    options.verifyAgainst = m_image;
    TqBlkStoreCheckReport report;
    EXPECT_OK(tqblk_check_store(store->getDir().c_str(), options, &report));
    std::vector<std::string> wrong;
    for (const TqBlkStoreFinding& finding : report.findings) {
        if (finding.isProblem() && finding.kind != TqBlkStoreFinding::TQBLK_FINDING_TEMP_FILE)
            wrong.push_back(finding.path + ": " + finding.detail);
    }
    return wrong;
}

void CrashTest::expectStoreClean(TqBlkBackingStore* store) {
    const std::string output = m_temp / "check.log";
    tqharness::ChildProcess checker;
    ASSERT_EQ(
        checker.start({TQBLK_CTL_PATH, "check-store", store->getDir(), "--verify-against", m_image},
                      output),
        "");
    int status = checker.waitExit(std::chrono::seconds(20));
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << describeStatus(status) << "\n"
        << tqtest::ReadFile(output);
    ::unlink(output.c_str());
}

// Extents queued in this order; 7 is all zeros.
const std::vector<long long> kQueued = {2, 7, 3, 9};

// Runs the service under the shim until it dies at the step, and checks what it left.
void CrashTest::crashAt(const Step& step) {
    const std::string logPath = m_temp / "service.log";
    startService(step.workers, shimFor(step));
    int status = m_service.waitExit(std::chrono::seconds(20));
    ASSERT_TRUE(killedBySigkill(status)) << describeStatus(status);
    std::string log = tqtest::ReadFile(logPath);
    ::unlink(logPath.c_str());
    EXPECT_NE(log.find(std::string("kill shim: SIGKILL at ") + step.call), std::string::npos)
        << log;
    EXPECT_EQ(wrongExtents(m_recall), std::vector<std::string>()) << "right after the kill";
    if (step.workers == 1) {
        EXPECT_EQ(EntriesOf(m_recall->getDir() + "/tmp").size(), step.tempsLeft) << log;
        EXPECT_EQ(BitmapOf(m_recall), step.present) << log;
    }
}

// A new device with readers waiting for the queued extents; the service is killed at each
// step in turn, then a service without the shim must finish the work.
void CrashTest::crashAndRecover(const std::vector<Step>& kills) {
    SCOPED_TRACE(kills.back().name);
    makeDevice("step" + std::to_string(m_stores.size()), kDeviceSize, 0, kExtentSize);
    m_source = kills.front().fromStore ? makeSourceStore() : std::string();
    // Queued before any reader, so one worker meets the extents in this order.
    for (long long extent : kQueued)
        control("recall " + std::to_string(extent) + " " + m_uuid);
    for (long long extent : kQueued) {
        startRead(extent * kExtentSize + 100, 3000);
        startRead(extent * kExtentSize + 40 * kKiB, 24 * kKiB);
    }
    ASSERT_TRUE(waitForState(m_uuid, "io-waiting", [](const std::string& v) { return v == "8"; }));
    for (const Step& step : kills) {
        crashAt(step);
        if (HasFatalFailure())
            return;
    }
    expectRecovery();
}

// A service without the shim brings every waiting read to the right bytes and answers every
// queued extent once, leaving a store that checks clean.
void CrashTest::expectRecovery() {
    startService(2);
    for (auto& read : m_reads)
        expectPattern(*read);
    std::set<long long> answered;
    for (const auto& answer : this->answered(m_uuid)) {
        EXPECT_EQ(answer.second, 0) << "extent " << answer.first;
        answered.insert(answer.first);
    }
    EXPECT_EQ(answered, std::set<long long>(kQueued.begin(), kQueued.end()));
    EXPECT_EQ(m_service.stop(), 0) << tqtest::ReadFile(m_temp / "service.log");
    expectStoreClean(m_recall);
    EXPECT_EQ(BitmapOf(m_recall), std::set<long long>(kQueued.begin(), kQueued.end()));
    m_reads.clear();
    ::unlink((m_temp / "service.log").c_str());
}

TEST_F(CrashTest, AServiceKilledAtEachStepOfARecallLosesNoRequestAndLeavesNoWrongExtent) {
    m_image = makeImage(kDeviceSize);
    for (const Step& step : recallSteps()) {
        crashAndRecover({step});
        if (HasFatalFailure())
            return;
    }
}

TEST_F(CrashTest, AServiceKilledWhileItRemovesWhatTheLastOneLeftIsRecoveredByTheNext) {
    m_image = makeImage(kDeviceSize);
    const Step halfCopied = {"half copied", "sendfile", 1, "mid", kRecallTemp, 1, {}};
    crashAndRecover(
        {halfCopied,
         {"killed before removing the leftover", "unlink", 1, "before", kRecallTemp, 1, {}}});
    crashAndRecover(
        {halfCopied,
         {"killed once the leftover is removed", "unlink", 1, "after", kRecallTemp, 0, {}}});
}

// A service that evicts from a store over its limit is killed before and after removals:
// every extent left is whole, and the next service reads the device right and trims on.
TEST_F(CrashTest, AServiceKilledMidEvictionLeavesEveryPresentExtentRight) {
    m_image = makeImage(kDeviceSize);
    m_extraArgs = {"--store-limit", "512K"};
    const std::string evicted = "-recall/data/";
    for (const Step& step :
         std::vector<Step>{{"before the first removal", "unlink", 1, "before", evicted, 0, {}},
                           {"after the third removal", "unlink", 3, "after", evicted, 0, {}}}) {
        SCOPED_TRACE(step.name);
        makeDevice("evict" + std::to_string(m_stores.size()), kDeviceSize, 0, kExtentSize);
        for (long long extent = 0; extent < kDeviceSize / kExtentSize; ++extent)
            placeExtent(m_recall, extent);
        crashAt({step.name, step.call, step.nth, step.when, step.match, 0, {}, false, 2});
        const int removed = step.nth - (std::string(step.when) == "before" ? 1 : 0);
        EXPECT_EQ(BitmapOf(m_recall).size(),
                  static_cast<size_t>(kDeviceSize / kExtentSize - removed));
        startService(2);
        // The next service trims the store under its low mark (6 extents and the 2 sparse
        // ones, which cost nothing), then recalls what the read needs.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (BitmapOf(m_recall).size() > 8 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_LE(BitmapOf(m_recall).size(), 8u);
        std::vector<char> bytes;
        EXPECT_EQ(ReadAt(m_dataPath, 0, static_cast<size_t>(kDeviceSize), &bytes), 0);
        EXPECT_TRUE(bytes == Pattern(0, static_cast<size_t>(kDeviceSize)));
        m_service.signal(SIGTERM);
        int status = m_service.waitExit(std::chrono::seconds(10));
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << describeStatus(status) << tqtest::ReadFile(m_temp / "service.log");
        expectStoreClean(m_recall);
        ::unlink((m_temp / "service.log").c_str());
    }
}

// Creates the device again, over the stores it had, in a new emulator.
void CrashTest::restartEmulator() {
    ASSERT_EQ(m_emulator.start(tqharness::kDriverDir), "");
    m_driver.reset(new TqBlkDriverUnix);
    std::string name;
    ASSERT_OK(m_driver->createDevice(m_uuid.c_str(), nullptr, m_recall, &name));
    m_dataPath = name + ".data";
}

// Readers of a device whose emulator is killed: each read must end, and one that
// succeeded must have returned the right bytes.
void CrashTest::expectReadsEndSoundly() {
    for (auto& read : m_reads) {
        std::pair<int, std::vector<char>> result = finish(*read);
        ASSERT_NE(result.first, ETIMEDOUT) << "read at " << read->offset << " hangs";
        if (result.first == 0) {
            EXPECT_TRUE(result.second == Pattern(read->offset, read->size))
                << "read at " << read->offset;
        }
    }
    m_reads.clear();
}

void CrashTest::killEmulatorMidRecall(std::mt19937& random) {
    startService(2);
    std::uniform_int_distribution<long long> offsets(0, kEmulatorDeviceSize - 96 * kKiB);
    for (int i = 0; i < 32; ++i)
        startRead(offsets(random), 96 * kKiB);
    // The instant falls while the service works: after its first answer and, at the pace of
    // a service recalling from a tmpfs, mostly well before its last.
    ASSERT_TRUE(waitForState(m_uuid, "answered", [](const std::string& v) { return !v.empty(); }));
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(random)));
    m_emulator.kill();
    expectReadsEndSoundly();
    // Its driver is gone for good: the service ends by itself, with a failure a supervisor
    // sees, rather than asking a dead connection forever.
    int status = m_service.waitExit(std::chrono::seconds(10));
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 1)
        << describeStatus(status);
    EXPECT_EQ(wrongExtents(m_recall), std::vector<std::string>()) << "right after the kill";
}

TEST_F(CrashTest, AnEmulatorKilledAtRandomInstantsLosesNoExtentAndLeavesNoWrongOne) {
    m_image = makeImage(kEmulatorDeviceSize);
    std::mt19937 random(20261208);
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        makeDevice("emu" + std::to_string(round), kEmulatorDeviceSize, 0, kExtentSize);
        killEmulatorMidRecall(random);
        restartEmulator();
        if (HasFatalFailure())
            return;
        startService(2);
        std::vector<char> bytes;
        EXPECT_EQ(ReadAt(m_dataPath, 0, static_cast<size_t>(kEmulatorDeviceSize), &bytes), 0);
        EXPECT_TRUE(bytes == Pattern(0, static_cast<size_t>(kEmulatorDeviceSize)));
        EXPECT_EQ(m_service.stop(), 0);
        expectStoreClean(m_recall);
        EXPECT_EQ(BitmapOf(m_recall).size(),
                  static_cast<size_t>(kEmulatorDeviceSize / kExtentSize));
    }
}

}  // namespace
}  // namespace roadtest
