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
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
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
inline void placeExtent(TqBlkRecallStore& store, long long extent, const std::vector<char>& bytes,
                        bool durable = false) {
    std::string temp;
    int raw = -1;
    check(store.openTempFile(&temp, &raw), "open a temporary file");
    tqsys::UniqueFd fd(raw);
    if (tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), 0) != 0 ||
        (durable && ::fdatasync(fd.get()) != 0))
        die("write " + temp);
    fd.reset();
    check(store.moveInExtentFile(temp.c_str(), extent), "move an extent in");
    if (!durable)
        return;
    std::string path;
    check(store.getExtentFileName(extent, &path), "name an extent");
    tqsys::UniqueFd dir =
        tqsys::OpenRetrying(path.substr(0, path.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY);
    if (!dir.valid() || ::fsync(dir.get()) != 0)
        die("sync the folder of " + path);
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

// Runs a program to its end; returns an empty text when it exited with status 0. With out,
// its standard output is collected there.
inline std::string runProgram(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    tqsys::UniqueFd readEnd(pipeFds[0]);
    tqsys::UniqueFd writeEnd(pipeFds[1]);
    pid_t pid = ::fork();
    if (pid < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (pid == 0) {
        if (out != nullptr)
            ::dup2(writeEnd.get(), STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    char buffer[256];
    ssize_t n;
    while ((n = tqsys::RetryOnEintr([&] { return ::read(readEnd.get(), buffer, sizeof buffer); })) >
           0) {
        if (out != nullptr)
            out->append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    tqsys::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::string();
    return args[0] + " failed (status " + std::to_string(status) + ")";
}

// A fresh ext4 on a loop device mounted on a folder: not the root file system itself (mounted
// with discard) nor a tmpfs, but a file system of the run's own on the disk. The loop device
// writes to its backing file (under /var/tmp) with direct I/O, as a disk would take them,
// rather than through a second page cache, and the file is allocated up front, so the host's
// file system allocates nothing during the run. Its tables are written in full at once, so no
// lazy initialisation competes with the run. Unmounted, detached and its file removed once the
// object is gone.
class LoopExt4 {
  public:
    LoopExt4() = default;
    ~LoopExt4() {
        if (!m_mountedOn.empty() && ::umount2(m_mountedOn.c_str(), 0) != 0)
            ::umount2(m_mountedOn.c_str(), MNT_DETACH);
        if (!m_loop.empty())
            runProgram({"losetup", "--detach", m_loop});
        if (!m_backing.empty())
            ::unlink(m_backing.c_str());
    }
    LoopExt4(const LoopExt4&) = delete;
    LoopExt4& operator=(const LoopExt4&) = delete;

    // Returns an empty text, else what went wrong.
    std::string mount(const std::string& dir, long long bytes) {
        char backing[] = "/var/tmp/tqblk-bench-road-XXXXXX.img";
        int raw = ::mkstemps(backing, 4);
        if (raw < 0)
            return std::string("mkstemps: ") + std::strerror(errno);
        m_backing = backing;
        tqsys::UniqueFd fd(raw);
        if (int e = ::posix_fallocate(fd.get(), 0, bytes))
            return std::string("allocate the backing file: ") + std::strerror(e);
        std::string failure = runProgram(
            {"mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", m_backing});
        if (failure.empty())
            failure =
                runProgram({"losetup", "--find", "--show", "--direct-io=on", m_backing}, &m_loop);
        while (!m_loop.empty() && m_loop.back() == '\n')
            m_loop.pop_back();
        if (failure.empty())
            failure = runProgram({"mount", "-t", "ext4", "-o", "nosuid,nodev", m_loop, dir});
        if (failure.empty())
            m_mountedOn = dir;
        return failure;
    }

  private:
    std::string m_backing;
    std::string m_loop;       // the loop device, once attached
    std::string m_mountedOn;  // where it is mounted, once it is
};

// Where a started tqblk-recalld says it serves: a datagram socket it is given as
// NOTIFY_SOCKET, as systemd would, so that a run times reads and not the service's start.
class ReadySocket {
  public:
    explicit ReadySocket(const std::string& path) : m_path(path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path)
            die("the notification socket's path is too long: " + path);
        std::memcpy(address.sun_path, path.c_str(), path.size());
        m_fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!m_fd.valid() ||
            ::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            die("bind " + path + ": " + std::strerror(errno));
    }
    ~ReadySocket() { ::unlink(m_path.c_str()); }
    ReadySocket(const ReadySocket&) = delete;
    ReadySocket& operator=(const ReadySocket&) = delete;

    std::string environment() const { return "NOTIFY_SOCKET=" + m_path; }

    // Waits for READY=1, skipping other messages; false when it did not come in time.
    bool wait(std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd ready{m_fd.get(), POLLIN, 0};
            if (left.count() <= 0 || tqsys::RetryOnEintr([&] {
                                         return ::poll(&ready, 1, static_cast<int>(left.count()));
                                     }) != 1)
                return false;
            char message[256] = {};
            if (::recv(m_fd.get(), message, sizeof message - 1, 0) > 0 &&
                std::strstr(message, "READY=1") != nullptr)
                return true;
        }
    }

  private:
    std::string m_path;
    tqsys::UniqueFd m_fd;
};

// Where a run keeps its stores and images: a folder under /tmp with a file system mounted on
// it (a tmpfs unless a subclass mounts another one) in a private mount namespace, which
// mounting enters first, before the process starts threads; the mount and the folder are gone
// once the object is.
class Scratch {
  public:
    // name: the tmpfs's name and the folder's prefix.
    explicit Scratch(const std::string& name) : m_name(name), m_dir("/tmp/" + name + "-XXXXXX") {}
    ~Scratch() {
        m_ext4.reset();
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
    // The same with a fresh ext4 of `bytes` on a loop device (LoopExt4) in place of the tmpfs.
    std::string mountExt4(long long bytes) {
        std::string failure = make();
        if (!failure.empty())
            return failure;
        m_ext4.reset(new LoopExt4);
        return m_ext4->mount(m_dir, bytes);
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
    std::unique_ptr<LoopExt4> m_ext4;
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
