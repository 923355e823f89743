#include "RoadFixture.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <thread>

namespace roadtest {
namespace {

using tqsys::UniqueFd;

// 0 with *fd holding the open file, or the errno.
int openFile(const std::string& path, int flags, UniqueFd* fd) {
    *fd = tqsys::OpenRetrying(path.c_str(), flags, 0666);
    return fd->valid() ? 0 : errno;
}

}  // namespace

unsigned char PatternByte(long long offset) {
    if ((offset / 65536) % 8 == 7)
        return 0;
    unsigned long long word =
        static_cast<unsigned long long>(offset / 8 + 1) * 0x9E3779B97F4A7C15ULL;
    word ^= word >> 29;
    return static_cast<unsigned char>(word >> (8 * (offset % 8)));
}

std::vector<char> Pattern(long long offset, size_t size) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(PatternByte(offset + static_cast<long long>(i)));
    return bytes;
}

int ReadAt(const std::string& path, long long offset, size_t size, std::vector<char>* out) {
    UniqueFd fd;
    int error = openFile(path, O_RDONLY, &fd);
    if (error != 0)
        return error;
    out->assign(size, 0);
    size_t got = 0;
    const int r = tqsys::PreadFull(fd.get(), out->data(), size, static_cast<off_t>(offset), &got);
    if (r < 0)
        return -r;
    out->resize(got);
    return 0;
}

int WriteAt(const std::string& path, long long offset, const std::vector<char>& data,
            size_t* done) {
    UniqueFd fd;
    int error = openFile(path, O_WRONLY, &fd);
    if (error != 0)
        return error;
    // One call: the caller checks how much of it the device took.
    const ssize_t n = tqsys::RetryOnEintr(
        [&] { return ::pwrite(fd.get(), data.data(), data.size(), static_cast<off_t>(offset)); });
    if (n < 0)
        return errno;
    if (done != nullptr)
        *done = static_cast<size_t>(n);
    return 0;
}

std::set<long long> BitmapOf(TqBlkBackingStore* store) {
    std::vector<std::vector<unsigned char>> chunks;
    int count = 0;
    CZyError err = store->getExtentBitmap(&chunks, &count);
    EXPECT_FALSE(err.IsError()) << err.GetDescription();
    std::set<long long> extents;
    for (size_t chunk = 0; chunk < chunks.size(); ++chunk) {
        for (size_t bit = 0; bit < chunks[chunk].size() * 8; ++bit) {
            if ((chunks[chunk][bit / 8] >> (bit % 8)) & 1)
                extents.insert(static_cast<long long>(chunk) * count + static_cast<long long>(bit));
        }
    }
    return extents;
}

std::vector<std::string> EntriesOf(const std::string& dir) {
    return tqtest::PathExists(dir) ? tqtest::ListDir(dir) : std::vector<std::string>();
}

std::vector<long long> Numbers(const std::string& text) {
    std::vector<long long> numbers;
    std::istringstream words(text);
    long long number;
    while (words >> number)
        numbers.push_back(number);
    return numbers;
}

void RoadTest::SetUp() {
    DriverTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    // The stores live on a tmpfs that only this test's mount namespace sees.
    ASSERT_EQ(
        ::mount("tqblk-road", m_temp.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755"), 0)
        << std::strerror(errno);
    m_tmpfs = true;
}

void RoadTest::TearDown() {
    DriverTest::TearDown();
    // The emulator is gone, so every read that still waited has ended.
    for (auto& read : m_reads) {
        if (read->result.valid())
            read->result.wait();
    }
    m_stores.clear();
    if (m_tmpfs)
        ::umount2(m_temp.path().c_str(), MNT_DETACH);
}

std::string RoadTest::makeDevice(const std::string& uuid, long long deviceSize,
                                 int privateExtentSize, int recallExtentSize) {
    m_uuid = uuid;
    if (privateExtentSize > 0)
        m_private = privateStore(uuid + "-private", deviceSize, privateExtentSize);
    if (recallExtentSize > 0)
        m_recall = recallStore(uuid + "-recall", deviceSize, recallExtentSize);
    std::string name;
    CZyError err = m_driver->createDevice(uuid.c_str(), m_private, m_recall, &name);
    EXPECT_FALSE(err.IsError()) << err.GetDescription();
    m_dataPath = name + ".data";
    return m_dataPath;
}

void RoadTest::placeExtent(TqBlkBackingStore* store, long long extent) {
    long long offset = extent * store->getExtentSize();
    size_t size = static_cast<size_t>(
        std::min<long long>(store->getExtentSize(), store->getDeviceSize() - offset));
    placeBytes(store, extent, Pattern(offset, size));
}

void RoadTest::placeBytes(TqBlkBackingStore* store, long long extent,
                          const std::vector<char>& bytes) {
    std::string temp;
    int raw = -1;
    ASSERT_OK(store->openTempFile(&temp, &raw));
    UniqueFd fd(raw);
    ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    fd.reset();
    ASSERT_OK(store->moveInExtentFile(temp.c_str(), extent));
}

std::string RoadTest::makeImage(long long size) {
    std::string path = m_temp / "image";
    std::vector<char> bytes = Pattern(0, static_cast<size_t>(size));
    tqtest::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
}

AsyncRead& RoadTest::startRead(long long offset, size_t size) {
    m_reads.push_back(std::unique_ptr<AsyncRead>(new AsyncRead{offset, size, {}}));
    std::string path = m_dataPath;
    m_reads.back()->result = std::async(std::launch::async, [path, offset, size] {
        std::vector<char> bytes;
        int error = ReadAt(path, offset, size, &bytes);
        return std::make_pair(error, bytes);
    });
    return *m_reads.back();
}

std::pair<int, std::vector<char>> RoadTest::finish(AsyncRead& read) {
    if (read.result.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        return {ETIMEDOUT, {}};
    return read.result.get();
}

void RoadTest::expectPattern(AsyncRead& read) {
    std::pair<int, std::vector<char>> result = finish(read);
    EXPECT_EQ(result.first, 0) << "read at " << read.offset;
    EXPECT_TRUE(result.second == Pattern(read.offset, read.size)) << "read at " << read.offset;
}

bool RoadTest::waitForState(const std::string& uuid, const std::string& key,
                            const std::function<bool(const std::string&)>& want,
                            std::chrono::seconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!want(state(uuid, key))) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::pair<long long, int>> RoadTest::answered(const std::string& uuid) const {
    std::vector<std::pair<long long, int>> answers;
    std::istringstream words(state(uuid, "answered"));
    std::string word;
    while (words >> word) {
        size_t colon = word.find(':');
        answers.emplace_back(std::stoll(word.substr(0, colon)), std::stoi(word.substr(colon + 1)));
    }
    return answers;
}

}  // namespace roadtest
