// Device I/O through the emulator's data files: where reads find their bytes, how a missing
// extent is recalled, how writes fill the private store, and what abort and destroy do to I/O
// in flight. The test plays the recall service itself, through the library.

#include "RoadFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace roadtest {
namespace {

constexpr int kKiB = 1024;

std::function<bool(const std::string&)> Is(const std::string& value) {
    return [value](const std::string& text) { return text == value; };
}

std::vector<char> Bytes(const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
}

class DeviceIoTest : public RoadTest {
  protected:
    // Answers the next recall request as a service would: the extent placed first (unless
    // place is false), then recallDone, or recallFailed with error. Returns the extent.
    long long serveNext(bool place = true, int error = 0) {
        long long extent = -1;
        CZyError err;
        for (int attempt = 0; attempt < 50; ++attempt) {
            err = m_driver->getRecallRequest(m_uuid.c_str(), &extent);
            if (err.GetErrNo() != EAGAIN)
                break;
        }
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        if (err.IsError())
            return -1;
        if (place)
            placeExtent(m_recall, extent);
        EXPECT_OK(error == 0 ? m_driver->recallDone(m_uuid.c_str(), extent)
                             : m_driver->recallFailed(m_uuid.c_str(), extent, error));
        return extent;
    }

    bool waitForReaders(size_t count) {
        return waitForState(m_uuid, "io-waiting", Is(std::to_string(count)));
    }
};

TEST_F(DeviceIoTest, ReadsTakeEachExtentFromThePrivateStoreFirstThenTheRecallStore) {
    std::string data = makeDevice("dev", 256 * kKiB, 4 * kKiB, 64 * kKiB);
    struct stat st;
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 256 * kKiB);

    placeExtent(m_recall, 0);
    placeBytes(m_private, 1, std::vector<char>(4 * kKiB, 'P'));
    std::vector<char> bytes;
    ASSERT_EQ(ReadAt(data, 0, 8 * kKiB, &bytes), 0);
    std::vector<char> expected = Pattern(0, 4 * kKiB);
    expected.resize(8 * kKiB, 'P');
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(state("dev", "queued"), "");
    EXPECT_EQ(state("dev", "answered"), "");
}

TEST_F(DeviceIoTest, ReadsStopAtTheDeviceSizeAndShortOrMissingExtentsReadAsZeros) {
    std::string data = makeDevice("dev", 10000, 4 * kKiB, 0);
    std::vector<char> bytes;
    ASSERT_EQ(ReadAt(data, 9990, 100, &bytes), 0);
    EXPECT_EQ(bytes, std::vector<char>(10, 0));
    ASSERT_EQ(ReadAt(data, 10000, 100, &bytes), 0);
    EXPECT_TRUE(bytes.empty());
    ASSERT_EQ(ReadAt(data, 0, 4 * kKiB, &bytes), 0);
    EXPECT_EQ(bytes, std::vector<char>(4 * kKiB, 0));

    placeBytes(m_private, 1, Bytes("abc"));
    ASSERT_EQ(ReadAt(data, 4 * kKiB, 8, &bytes), 0);
    EXPECT_EQ(bytes, Bytes(std::string("abc\0\0\0\0\0", 8)));
}

TEST_F(DeviceIoTest, ConcurrentReadersOfAMissingExtentShareOneRecallAndGetItsBytes) {
    makeDevice("dev", 1024 * kKiB, 4 * kKiB, 64 * kKiB);
    placeExtent(m_recall, 7);
    for (int i = 0; i < 8; ++i) {
        startRead(2 * 64 * kKiB + i * 8 * kKiB, 4 * kKiB);
        startRead(5 * 64 * kKiB + i * 100, 5000);  // across private extents
    }
    startRead(8 * 64 * kKiB - 3000, 6000);  // the bytes of present extent 7 are kept
    ASSERT_TRUE(waitForReaders(17)) << state("dev", "io-waiting");
    std::vector<long long> queued = Numbers(state("dev", "queued"));
    std::sort(queued.begin(), queued.end());
    EXPECT_EQ(queued, (std::vector<long long>{2, 5, 8}));

    for (int i = 0; i < 3; ++i)
        serveNext();
    for (auto& read : m_reads)
        expectPattern(*read);
    std::vector<std::pair<long long, int>> answers = answered("dev");
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, (std::vector<std::pair<long long, int>>{{2, 0}, {5, 0}, {8, 0}}));
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{2, 5, 7, 8}));
    EXPECT_TRUE(BitmapOf(m_private).empty());
}

TEST_F(DeviceIoTest, AFailedAnswerOrOneWithoutAFileFailsTheWaitingReadsWithEio) {
    makeDevice("dev", 1024 * kKiB, 64 * kKiB, 64 * kKiB);
    AsyncRead& failed = startRead(64 * kKiB, 100);
    AsyncRead& sharing = startRead(64 * kKiB + 500, 100);
    ASSERT_TRUE(waitForReaders(2));
    EXPECT_EQ(serveNext(false, EIO), 1);
    EXPECT_EQ(finish(failed).first, EIO);
    EXPECT_EQ(finish(sharing).first, EIO);

    // The next read asks again. An extent gone after its answer (pruned) is recalled again,
    // a few times; answers that keep claiming success with no file in place fail the read
    // rather than return anything made up.
    AsyncRead& again = startRead(64 * kKiB, 100);
    ASSERT_TRUE(waitForReaders(1));
    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(serveNext(false, 0), 1);
    EXPECT_EQ(finish(again).first, EIO);

    AsyncRead& good = startRead(64 * kKiB, 100);
    ASSERT_TRUE(waitForReaders(1));
    EXPECT_EQ(serveNext(true, 0), 1);
    expectPattern(good);
    EXPECT_EQ(state("dev", "answered"), "1:5 1:0 1:0 1:0 1:0");
}

TEST_F(DeviceIoTest, WritesFillAbsentExtentsFromTheRecallStoreThroughATemporaryFile) {
    std::string data = makeDevice("dev", 1024 * kKiB, 4 * kKiB, 64 * kKiB);
    const long long at = 64 * kKiB + 4 * kKiB + 5;  // private extent 17, recall extent 1
    auto write = std::async(std::launch::async, [&] {
        size_t done = 0;
        int error = WriteAt(data, at, Bytes("hello"), &done);
        return error == 0 ? static_cast<int>(done) : -error;
    });
    ASSERT_TRUE(waitForReaders(1));
    EXPECT_EQ(state("dev", "queued"), "1");
    serveNext();
    EXPECT_EQ(write.get(), 5);

    EXPECT_EQ(BitmapOf(m_private), (std::set<long long>{17}));
    EXPECT_EQ(BitmapOf(m_recall), (std::set<long long>{1}));
    EXPECT_EQ(EntriesOf(m_temp / "dev-private/tmp"), std::vector<std::string>());

    // A present extent is written in place; a write may span two private extents, the
    // second taken from the recall extent that is already there.
    ASSERT_EQ(WriteAt(data, 68 * kKiB, Bytes("XY")), 0);
    ASSERT_EQ(WriteAt(data, 72 * kKiB - 2, Bytes("abcd")), 0);
    std::vector<char> expected = Pattern(64 * kKiB, 12 * kKiB);
    std::copy_n("XY", 2, expected.begin() + 4 * kKiB);
    std::copy_n("hello", 5, expected.begin() + 4 * kKiB + 5);
    std::copy_n("abcd", 4, expected.begin() + 8 * kKiB - 2);
    std::vector<char> bytes;
    ASSERT_EQ(ReadAt(data, 64 * kKiB, 12 * kKiB, &bytes), 0);
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(BitmapOf(m_private), (std::set<long long>{17, 18}));
    EXPECT_EQ(state("dev", "answered"), "1:0");
}

TEST_F(DeviceIoTest, WritesStopAtTheEndAndWithoutARecallStoreFillWithZeros) {
    std::string data = makeDevice("dev", 10000, 4 * kKiB, 0);
    size_t done = 0;
    ASSERT_EQ(WriteAt(data, 9998, Bytes("wxyz"), &done), 0);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(WriteAt(data, 10000, Bytes("a")), ENOSPC);
    ASSERT_EQ(WriteAt(data, 5000, Bytes("ab")), 0);

    std::vector<char> bytes;
    ASSERT_EQ(ReadAt(data, 4 * kKiB, 10000, &bytes), 0);
    std::vector<char> expected(10000 - 4 * kKiB, 0);
    expected[5000 - 4 * kKiB] = 'a';
    expected[5001 - 4 * kKiB] = 'b';
    expected[9998 - 4 * kKiB] = 'w';
    expected[9999 - 4 * kKiB] = 'x';
    EXPECT_TRUE(bytes == expected);
    EXPECT_EQ(BitmapOf(m_private), (std::set<long long>{1, 2}));
}

TEST_F(DeviceIoTest, ADeviceWithoutAPrivateStoreIsReadOnlyAndKeepsItsSize) {
    std::string data = makeDevice("dev", 64 * kKiB, 0, 4 * kKiB);
    struct stat st;
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0440u);
    EXPECT_EQ(WriteAt(data, 0, Bytes("a")), EROFS);
    EXPECT_EQ(::truncate(data.c_str(), 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(DeviceIoTest, TheMruListHoldsTheExtentsThatWereRead) {
    std::string data = makeDevice("dev", 64 * kKiB, 4 * kKiB, 0);
    std::vector<char> bytes;
    for (long long extent : {3, 1, 3, 7})
        ASSERT_EQ(ReadAt(data, extent * 4 * kKiB, 10, &bytes), 0);
    ASSERT_EQ(WriteAt(data, 9 * 4 * kKiB, Bytes("w")), 0);
    long long mru[8] = {};
    int count = 8;
    ASSERT_OK(m_driver->getMRUExts("dev", mru, &count));
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::vector<long long>(mru, mru + 3), (std::vector<long long>{7, 3, 1}));
}

TEST_F(DeviceIoTest, AbortFailsWaitingAndLaterIoWithEio) {
    std::string data = makeDevice("dev", 1024 * kKiB, 4 * kKiB, 64 * kKiB);
    AsyncRead& waiting = startRead(0, 100);
    ASSERT_TRUE(waitForReaders(1));
    ASSERT_OK(m_driver->abortDevice("dev"));
    EXPECT_EQ(finish(waiting).first, EIO);
    std::vector<char> bytes;
    EXPECT_EQ(ReadAt(data, 0, 100, &bytes), EIO);
    EXPECT_EQ(WriteAt(data, 0, Bytes("a")), EIO);
}

TEST_F(DeviceIoTest, DestroyRemovesTheDataFileAndFailsWaitingReads) {
    std::string data = makeDevice("dev", 1024 * kKiB, 4 * kKiB, 64 * kKiB);
    AsyncRead& waiting = startRead(0, 100);
    ASSERT_TRUE(waitForReaders(1));
    ASSERT_OK(m_driver->destroyDevice("dev"));
    EXPECT_EQ(finish(waiting).first, EIO);
    EXPECT_FALSE(tqtest::PathExists(data));
    std::vector<std::string> entries = EntriesOf(tqharness::kDriverDir);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "tqblk0.data"), 0);
}

TEST_F(DeviceIoTest, HeldAnswersWaitUntilReleasedOrAreDroppedUnapplied) {
    makeDevice("dev", 1024 * kKiB, 64 * kKiB, 64 * kKiB);
    control("hold-answers");
    AsyncRead& released = startRead(0, 100);
    ASSERT_TRUE(waitForReaders(1));
    auto service = std::async(std::launch::async, [this] { return serveNext(); });
    ASSERT_TRUE(waitForState("", "held-answers", Is("1")));
    EXPECT_EQ(state("dev", "io-waiting"), "1");
    control("release-answers");
    EXPECT_EQ(service.get(), 0);
    expectPattern(released);

    control("hold-answers");
    AsyncRead& dropped = startRead(64 * kKiB, 100);
    ASSERT_TRUE(waitForReaders(1));
    auto lost = std::async(std::launch::async, [this] {
        long long extent = -1;
        EXPECT_OK(m_driver->getRecallRequest("dev", &extent));
        return m_driver->recallDone("dev", extent).GetErrNo();
    });
    ASSERT_TRUE(waitForState("", "held-answers", Is("1")));
    control("drop-answers");
    EXPECT_EQ(lost.get(), ECANCELED);
    EXPECT_EQ(state("dev", "fetched"), "1");
    EXPECT_EQ(state("dev", "io-waiting"), "1");
    ASSERT_OK(m_driver->resubmitRecalls("dev"));
    EXPECT_EQ(serveNext(), 1);
    expectPattern(dropped);
}

}  // namespace
}  // namespace roadtest
