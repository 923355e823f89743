#ifndef TQBLK_BENCH_ROADBENCH_H
#define TQBLK_BENCH_ROADBENCH_H

// What the road benchmarks share: failing a run, the image's byte pattern, placing an extent
// as the service does, queueing recalls, a tmpfs to work on and the run around the emulator.

#include "EmulatorHarness.h"
#include "TimeThreads.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tqbench {

// A run that cannot go on; main reports it after everything started has been stopped.
[[noreturn]] inline void die(const std::string& what) {
    throw std::runtime_error(what);
}

inline void check(const CZyError& err, const char* what) {
    if (err.IsError())
        die(std::string(what) + ": " + err.GetDescription());
}

// The image's bytes: each 8-byte word holds its own offset, so a misplaced extent shows.
inline void fillPattern(long long offset, char* out, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
        long long word = offset + static_cast<long long>(i);
        std::memcpy(out + i, &word, std::min<size_t>(8, size - i));
    }
}

// Checks one word in each 4 KiB of bytes read from offset.
inline bool matchesPattern(long long offset, const char* data, size_t size) {
    for (size_t i = 0; i + 8 <= size; i += 4096) {
        long long word;
        std::memcpy(&word, data + i, 8);
        if (word != offset + static_cast<long long>(i))
            return false;
    }
    return true;
}

// Writes an image of extents * extentSize pattern bytes at path; returns path.
inline std::string makeImage(const std::string& path, int extentSize, long long extents) {
    tqsys::UniqueFd fd = tqsys::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd.valid())
        die("open " + path + ": " + std::strerror(errno));
    std::vector<char> chunk(static_cast<size_t>(extentSize));
    for (long long extent = 0; extent < extents; ++extent) {
        const long long offset = extent * extentSize;
        fillPattern(offset, chunk.data(), chunk.size());
        if (tqsys::PwriteFull(fd.get(), chunk.data(), chunk.size(), offset) != 0)
            die("write " + path);
    }
    return path;
}

// Reads each of the first extents whole from a data file, the readers taking them in turn;
// returns the seconds it took. Any wrong byte ends the run.
inline double readAll(const std::string& data, int extentSize, long long extents, int readers) {
    std::atomic<long long> next{0};
    std::atomic<bool> wrong{false};
    double seconds = timeThreads(readers, [&](int) {
        tqsys::UniqueFd fd = tqsys::OpenRetrying(data.c_str(), O_RDONLY);
        if (!fd.valid())
            die("open " + data + ": " + std::strerror(errno));
        std::vector<char> bytes(static_cast<size_t>(extentSize));
        for (long long extent; (extent = next++) < extents;) {
            long long offset = extent * extentSize;
            if (tqsys::PreadFull(fd.get(), bytes.data(), bytes.size(), offset) != 0 ||
                !matchesPattern(offset, bytes.data(), bytes.size()))
                wrong = true;
        }
    });
    if (wrong)
        die("a read returned wrong bytes");
    return seconds;
}

inline TqBlkRecallStore* newRecallStore(const std::string& dir, const std::string& name,
                                        long long extents, int extentSize) {
    CZyError err;
    TqBlkRecallStore* store = TqBlkRecallStore::create((dir + "/" + name).c_str(), name.c_str(),
                                                       extents * extentSize, extentSize, &err);
    check(err, "create a recall store");
    return store;
}

// What a service does to place an extent: a temporary file written from memory, moved in.
inline void placeExtent(TqBlkRecallStore& store, long long extent, const std::vector<char>& bytes) {
    std::string temp;
    int raw = -1;
    check(store.openTempFile(&temp, &raw), "open a temporary file");
    tqsys::UniqueFd fd(raw);
    if (tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), 0) != 0)
        die("write " + temp);
    fd.reset();
    check(store.moveInExtentFile(temp.c_str(), extent), "move an extent in");
}

// Queues a recall of each of the device's first extents through the emulator's control file.
inline void queueRecalls(const tqharness::EmulatorProcess& emulator, const std::string& uuid,
                         long long extents) {
    std::string lines;
    for (long long extent = 0; extent < extents; ++extent) {
        lines += "recall " + std::to_string(extent) + " " + uuid + "\n";
        if (lines.size() > 60000 || extent + 1 == extents) {
            if (int error = emulator.control(lines))
                die(std::string("control: ") + std::strerror(error));
            lines.clear();
        }
    }
}

// Where a run keeps its stores and images: a folder under /tmp with a file system mounted on
// it (a tmpfs unless a subclass mounts another one) in a private mount namespace, which
// mounting enters first, before the process starts threads; the mount and the folder are gone
// once the object is.
class Scratch {
  public:
    // name: the tmpfs's name and the folder's prefix.
    explicit Scratch(const std::string& name) : m_name(name), m_dir("/tmp/" + name + "-XXXXXX") {}
    ~Scratch() {
        unmount();
        if (m_made)
            ::rmdir(m_dir.c_str());
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Returns an empty text, else what went wrong.
    std::string mount() {
        std::string failure = make();
        if (failure.empty() &&
            ::mount(m_name.c_str(), m_dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            failure = std::string("mount a tmpfs: ") + std::strerror(errno);
        m_mounted = failure.empty();
        return failure;
    }
    const char* dir() const { return m_dir.c_str(); }

  protected:
    std::string make() {
        std::string why = tqharness::EnterPrivateNamespace();
        if (!why.empty())
            return "needs a private mount namespace: " + why;
        if (::mkdtemp(&m_dir[0]) == nullptr)
            return std::string("mkdtemp: ") + std::strerror(errno);
        m_made = true;
        return std::string();
    }
    void setMounted(bool mounted) { m_mounted = mounted; }
    void unmount() {
        if (m_mounted && ::umount2(m_dir.c_str(), 0) != 0)
            ::umount2(m_dir.c_str(), MNT_DETACH);
        m_mounted = false;
    }

  private:
    std::string m_name;
    std::string m_dir;
    bool m_made = false;
    bool m_mounted = false;
};

// Starts the emulator (with options), once the scratch has mounted (mountFailure empty), and
// runs body with it; returns what failed, or an empty text. The emulator is stopped before
// this returns.
inline std::string runWithEmulator(
    const std::string& mountFailure,
    const std::function<void(const tqharness::EmulatorProcess&)>& body,
    const std::vector<std::string>& options = {}) {
    if (!mountFailure.empty())
        return mountFailure;
    try {
        tqharness::EmulatorProcess emulator;
        std::string failure = emulator.start(tqharness::kDriverDir, options);
        if (!failure.empty())
            return failure;
        body(emulator);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return std::string();
}

}  // namespace tqbench

#endif
