#ifndef TQBLK_TESTS_ROAD_ROADFIXTURE_H
#define TQBLK_TESTS_ROAD_ROADFIXTURE_H

#include "DriverFixture.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <vector>

namespace roadtest {

// The recognisable byte at a device offset: the same for the image, the expected reads and
// the extents a test places by hand. Every eighth 64 KiB block is zeros.
unsigned char PatternByte(long long offset);
std::vector<char> Pattern(long long offset, size_t size);

// Reads or writes at offset on a file opened for this one call. Returns 0 or the errno;
// *done receives the byte count.
int ReadAt(const std::string& path, long long offset, size_t size, std::vector<char>* out);
int WriteAt(const std::string& path, long long offset, const std::vector<char>& data,
            size_t* done = nullptr);

// One read of a device's data file in a thread of its own.
struct AsyncRead {
    long long offset;
    size_t size;
    std::future<std::pair<int, std::vector<char>>> result;
};

// The present extents of a store, as its bitmap lists them.
std::set<long long> BitmapOf(TqBlkBackingStore* store);
std::vector<std::string> EntriesOf(const std::string& dir);

// Device I/O through the emulator's data files, on a tmpfs that the test's private mount
// namespace alone sees.
class RoadTest : public drivertest::DriverTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Creates stores of the given sizes (extent size 0: no such store) and a device over
    // them; returns the path of its data file.
    std::string makeDevice(const std::string& uuid, long long deviceSize, int privateExtentSize,
                           int recallExtentSize);
    TqBlkBackingStore* privateOf() const { return m_private; }
    TqBlkBackingStore* recallOf() const { return m_recall; }
    std::string dataPath() const { return m_dataPath; }

    // Puts the pattern's bytes (or the given ones) in place as an extent of the store, the
    // way a service does.
    void placeExtent(TqBlkBackingStore* store, long long extent);
    void placeBytes(TqBlkBackingStore* store, long long extent, const std::vector<char>& bytes);
    // Writes a file of the device's size holding the pattern; returns its path.
    std::string makeImage(long long size);

    // Starts a read that may wait for a recall; its result is collected with finish().
    AsyncRead& startRead(long long offset, size_t size);
    // The outcome of a read, waiting for it a bounded time (ETIMEDOUT when it hangs).
    std::pair<int, std::vector<char>> finish(AsyncRead& read);
    // Expects the read to have returned the pattern's bytes.
    void expectPattern(AsyncRead& read);
    // Waits until the state value of the device satisfies want; false on timeout.
    bool waitForState(const std::string& uuid, const std::string& key,
                      const std::function<bool(const std::string&)>& want,
                      std::chrono::seconds timeout = std::chrono::seconds(10)) const;
    // The extents answered so far, each with its error, in order.
    std::vector<std::pair<long long, int>> answered(const std::string& uuid) const;

    std::string m_uuid;
    TqBlkBackingStore* m_private = nullptr;
    TqBlkBackingStore* m_recall = nullptr;
    std::string m_dataPath;
    std::vector<std::unique_ptr<AsyncRead>> m_reads;
    bool m_tmpfs = false;
};

// Splits a state value such as "3 5 7" into its numbers.
std::vector<long long> Numbers(const std::string& text);

}  // namespace roadtest

#endif
