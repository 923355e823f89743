#ifndef TQBLK_STORECHECKINTERNAL_H
#define TQBLK_STORECHECKINTERNAL_H

// What the store checker's source files share. Not installed.

#include <tqblk/TqBlkStoreCheck.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace tqblk::check {

using Finding = TqBlkStoreFinding;

struct Geometry {
    long long deviceSize = 0;
    long long extentSize = 0;
    long long extentCount = 0;
    // Bytes of the last extent that lie on the device: 1 to extentSize.
    long long tailSize() const { return deviceSize - (extentCount - 1) * extentSize; }
};

// Whether errno tells of the checking process's own want of descriptors or memory: a failure
// of the check, never a finding about the store.
bool isResourceErrno(int errnoValue);

const char* typeWord(unsigned char type);
unsigned char typeOfMode(mode_t mode);
// The type of a directory entry; one that the directory does not tell costs a stat.
unsigned char resolveType(int fd, const char* name, unsigned char type);
std::string misplaced(unsigned char type, const char* belongs);

// The findings and counts of one check, added to from any of its threads.
class FindingSink {
  public:
    FindingSink(TqBlkStoreCheckReport* report, size_t maxFindings)
        : m_report(report), m_maxFindings(maxFindings) {}

    void add(Finding::Kind kind, const std::string& path, const std::string& detail,
             bool repaired = false);
    // An entry that could not be examined: a finding, or, when the check itself ran out of
    // descriptors or memory, the error that ends the check.
    CZyError unreadable(const std::string& path, int errnoValue);
    void countExtent() { m_extents.fetch_add(1, std::memory_order_relaxed); }
    // Adds the extents counted to the report.
    void finish() { m_report->extentsPresent += m_extents.load(); }

  private:
    std::mutex m_mutex;
    TqBlkStoreCheckReport* m_report;
    size_t m_maxFindings;
    std::atomic<long long> m_extents{0};
};

// Reads the store's config strictly (TqBlkStoreCheckConfig.cpp): the library's grammar, but
// every number must be whole, in range and the sizes sound. Fills *geometry and returns an
// empty *problem when the config holds, else says what is wrong in *problem; *readable tells
// whether a regular file could be read at all. Fails only when the check ran out of
// descriptors or memory.
CZyError readConfigStrictly(int storeFd, Geometry* geometry, std::string* problem, bool* readable);

// Bytes of the device as the verify source holds them; what it lacks reads as zeros
// (TqBlkStoreCheckVerify.cpp). One object serves one thread at a time.
class VerifySource {
  public:
    virtual ~VerifySource() = default;
    virtual CZyError read(long long offset, char* buffer, size_t size) = 0;
};

CZyError openVerifySource(const std::string& path, std::unique_ptr<VerifySource>* source);

// Compares extent files with the verify source from any number of threads, each comparison
// with a source and buffers of its own.
class Verifier {
  public:
    Verifier(std::string path, long long extentSize, long long deviceSize);
    ~Verifier();
    // Compares the extent file open as fd with the source. *differsAt is -1 when the bytes
    // agree, else the device offset of the first difference. Only bytes on the device are
    // compared; a file shorter than the extent reads as zeros past its end. Fails when either
    // cannot be read: *extentFailed tells whether it was the extent file (true) or the source.
    CZyError compare(int fd, long long extent, long long* differsAt, bool* extentFailed);

  private:
    struct Worker;
    size_t chunk() const;
    CZyError take(std::unique_ptr<Worker>* worker);
    void give(std::unique_ptr<Worker> worker);

    std::string m_path;
    long long m_extentSize;
    long long m_deviceSize;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Worker>> m_idle;
};

// What the data tree check needs of the store checker.
struct TreeCheck {
    const TqBlkStoreCheckOptions& options;
    std::string dir;
    Geometry geometry;
    struct stat data;              // the data directory as found beside the config
    bool prune = false;            // remove damaged extents (the lock is held)
    bool mismatchIsDamage = true;  // false in a private store: its extents differ by design
    Verifier* verifier = nullptr;
};

// Walks the data tree (TqBlkStoreCheckTree.cpp).
CZyError checkDataTree(const TreeCheck& check, FindingSink* sink);

}  // namespace tqblk::check

#endif
