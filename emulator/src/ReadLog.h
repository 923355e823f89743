#ifndef TQBLK_EMULATOR_READLOG_H
#define TQBLK_EMULATOR_READLOG_H

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tqemu {

// Where a recall extent a read returned came from: the store had it, the read raised its
// recall, or the read waited for a recall that was outstanding already.
enum class ReadOrigin { kPresent, kRecalled, kJoined };

// The recall extents a read waited for: those whose recall it raised, and the others.
struct ReadWaits {
    std::vector<long long> raised;
    std::vector<long long> joined;

    ReadOrigin originOf(long long extent) const;
};

// The trace of device reads, appended to a file for replays and benchmarks: one line per
// recall extent a read returned, "DEVICE EXTENT present|recalled|joined PID" (PID: the
// reading thread), in the order the reads completed. Lines are buffered and written in large
// pieces; flush writes them out. Not thread-safe: the emulator's lock guards it, so there is one
// writer.
class ReadLog {
  public:
    // Opens path for appending (created 0644 when absent); null with *error set on failure.
    static std::unique_ptr<ReadLog> open(const std::string& path, int* error);
    ~ReadLog();
    ReadLog(const ReadLog&) = delete;
    ReadLog& operator=(const ReadLog&) = delete;

    void add(const std::string& device, long long extent, ReadOrigin origin, pid_t reader);
    void flush();

  private:
    explicit ReadLog(std::FILE* file) : m_file(file) {}
    std::FILE* m_file;
};

}  // namespace tqemu

#endif
