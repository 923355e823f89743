// The whole recall road with the reference service: readers of a device's data file, the
// emulator in the driver's place and tqblk-recalld bringing extents in from an image or a
// source store, through a killed service, a source that cannot be read and many readers.

#include "RoadFixture.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;

class RoadFaultTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        RoadTest::TearDown();
    }

    // Starts the service for the device with a source ("--image PATH" or "--source-store DIR").
    void startService(int workers, const std::string& sourceOption, const std::string& source) {
        std::string failure = m_service.start(
            {TQBLK_RECALLD_PATH, "--uuid", m_uuid, "--recall-store", m_recall->getDir(),
             sourceOption, source, "--workers", std::to_string(workers)},
            m_temp / "service.log");
        ASSERT_EQ(failure, "");
    }

    std::string serviceLog() const { return tqtest::ReadFile(m_temp / "service.log"); }

    // How many times the service's log says it recalled each extent.
    std::map<long long, int> loggedRecalls() const {
        std::map<long long, int> counts;
        std::istringstream lines(serviceLog());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("recalled extent ", 0) == 0)
                ++counts[std::stoll(line.substr(16))];
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
};

TEST_F(RoadFaultTest, AServiceKilledMidRecallIsRestartedAndEveryWaitingReadCompletes) {
    makeDevice("dev", 2048 * kKiB, 4 * kKiB, 64 * kKiB);
    std::string image = makeImage(2048 * kKiB);
    // The service places each extent and then hangs in its answer, as a service does that
    // is killed between the two.
    control("hold-answers");
    for (long long extent = 0; extent < 6; ++extent) {
        startRead(extent * 64 * kKiB + 100, 3000);
        startRead(extent * 64 * kKiB + 40 * kKiB, 8 * kKiB);
    }
    ASSERT_TRUE(waitForState("dev", "io-waiting", [](const std::string& v) { return v == "12"; }));
    startService(2, "--image", image);
    ASSERT_TRUE(waitForState("", "held-answers", [](const std::string& v) { return v == "2"; }));
    EXPECT_EQ(Numbers(state("dev", "fetched")).size(), 2u);

    m_service.signal(SIGKILL);
    control("drop-answers");
    m_service.stop();
    EXPECT_EQ(state("dev", "io-waiting"), "12");
    EXPECT_EQ(Numbers(state("dev", "fetched")).size(), 2u);
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
    startService(
        2, "--source-store",
        makeSourceStore(sourceExtentSize, 512 * kKiB / sourceExtentSize, brokenSourceExtent));
    std::vector<AsyncRead*> failing;
    for (int i = 0; i < 4; ++i) {
        failing.push_back(&startRead(broken * 64 * kKiB + i * 10 * kKiB, 4 * kKiB));
        startRead(1 * 64 * kKiB + i * 10 * kKiB, 4 * kKiB);
        startRead(5 * 64 * kKiB + i * 10 * kKiB, 4 * kKiB);
    }
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

}  // namespace
}  // namespace roadtest
