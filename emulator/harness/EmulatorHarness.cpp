#include "EmulatorHarness.h"

#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace tqharness {
namespace {

using tqsys::UniqueFd;

constexpr int kReadyFd = 3;
constexpr int kStartTimeoutMs = 10000;
constexpr auto kStopTimeout = std::chrono::seconds(5);

std::string failure(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Covers /dev with a private tmpfs that links every entry of the real /dev, now reachable
// below /dev/.host, and adds an empty kDriverDir. Used when /dev/tqblk cannot serve as a
// mount point as it is; nothing changes on the real /dev.
std::string shadowDev() {
    char hold[] = "/tmp/tqblk-dev-XXXXXX";
    if (::mkdtemp(hold) == nullptr)
        return failure("mkdtemp", errno);
    std::string error;
    if (::mount("/dev", hold, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        error = failure("bind /dev", errno);
    } else if (::mount("tqblk-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        error = failure("tmpfs on /dev", errno);
        ::umount2(hold, MNT_DETACH);
    } else if (::mkdir("/dev/.host", 0755) != 0 ||
               ::mount(hold, "/dev/.host", nullptr, MS_MOVE, nullptr) != 0) {
        error = failure("move the real /dev to /dev/.host", errno);
        ::umount2(hold, MNT_DETACH);
    }
    ::rmdir(hold);
    if (!error.empty())
        return error;

    tqsys::UniqueDir dir(::opendir("/dev/.host"));
    if (!dir.valid())
        return failure("opendir /dev/.host", errno);
    while (struct dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "tqblk")
            continue;
        if (::symlink((".host/" + name).c_str(), ("/dev/" + name).c_str()) != 0) {
            error = failure("symlink /dev/" + name, errno);
            break;
        }
    }
    dir.reset();
    if (error.empty() && ::mkdir(kDriverDir, 0755) != 0)
        error = failure("mkdir /dev/tqblk", errno);
    return error;
}

std::string enterPrivateNamespace() {
    if (::geteuid() != 0)
        return "the emulator needs root to mount its file system";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return failure("no usable /dev/fuse", errno);
    if (::unshare(CLONE_NEWNS) != 0)
        return failure("unshare(CLONE_NEWNS)", errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failure("make the mount namespace private", errno);
    }
    struct stat st;
    if (::stat(kDriverDir, &st) == 0 && S_ISDIR(st.st_mode)) {
        // Hide whatever is there, a real driver's node included.
        if (::mount("tqblk-dir", kDriverDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
            return failure("tmpfs on /dev/tqblk", errno);
        }
        return std::string();
    }
    return shadowDev();
}

// NUL-ended pointers to the words, for exec; they live as long as the words do.
std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(&word[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment with the "NAME=value" entries of extra added or put in place.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> words(extra);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string word = *entry;
        const std::string name = word.substr(0, word.find('=') + 1);
        bool replaced = false;
        for (const std::string& e : extra)
            replaced = replaced || e.rfind(name, 0) == 0;
        if (!replaced)
            words.push_back(word);
    }
    return words;
}

bool waitForExit(pid_t pid, std::chrono::steady_clock::duration timeout, int* status = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int raw = 0;
        pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid && status != nullptr)
            *status = raw;
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Waits for the emulator's "ready" line; EOF means it exited before mounting.
bool waitUntilReady(int fd) {
    pollfd poller = {fd, POLLIN, 0};
    const int ready = tqsys::RetryOnEintr([&] { return ::poll(&poller, 1, kStartTimeoutMs); });
    if (ready <= 0)
        return false;
    char line[8] = {};
    const ssize_t got = tqsys::RetryOnEintr([&] { return ::read(fd, line, sizeof line - 1); });
    return got > 0 && std::strncmp(line, "ready", 5) == 0;
}

}  // namespace

std::string EnterPrivateNamespace() {
    static const std::string result = enterPrivateNamespace();
    return result;
}

bool SkipIsFailure() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

bool IsEmulatorMounted(const std::string& path) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        // Fields: id parent dev root mountpoint options [optional...] - fstype source ...
        std::istringstream fields(line);
        std::string id, parent, dev, root, mountPoint, word;
        fields >> id >> parent >> dev >> root >> mountPoint;
        while (fields >> word && word != "-") {
        }
        std::string fsType;
        fields >> fsType;
        if (mountPoint == path && fsType == "fuse.tqblk")
            return true;
    }
    return false;
}

std::string EmulatorProcess::start(const std::string& mountPoint,
                                   const std::vector<std::string>& options) {
    stop();
    std::vector<std::string> words = {TQBLK_EMULATOR_PATH,
                                      "--ready-fd=" + std::to_string(kReadyFd)};
    words.insert(words.end(), options.begin(), options.end());
    words.push_back(mountPoint);
    std::vector<char*> argv = pointersTo(words);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return failure("pipe2", errno);
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    pid_t pid = ::fork();
    if (pid < 0)
        return failure("fork", errno);
    if (pid == 0) {
        // Only the ready pipe goes along: a test's open admin descriptor must not stay
        // open in the emulator, or closing it would never reach the file system.
        if (writeEnd.get() == kReadyFd) {
            ::fcntl(kReadyFd, F_SETFD, 0);
        } else {
            ::dup2(writeEnd.get(), kReadyFd);
        }
        ::close_range(kReadyFd + 1, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    writeEnd.reset();
    m_pid = pid;
    m_mountPoint = mountPoint;
    if (!waitUntilReady(readEnd.get())) {
        stop();
        return "the emulator did not come up at " + mountPoint;
    }
    return std::string();
}

void EmulatorProcess::stop() {
    if (m_pid < 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!waitForExit(m_pid, kStopTimeout)) {
        ::kill(m_pid, SIGKILL);
        waitForExit(m_pid, kStopTimeout);
    }
    m_pid = -1;
    if (IsEmulatorMounted(m_mountPoint))
        ::umount2(m_mountPoint.c_str(), MNT_DETACH);
}

void EmulatorProcess::kill() {
    if (m_pid >= 0)
        ::kill(m_pid, SIGKILL);
    stop();
}

int EmulatorProcess::control(const std::string& commands) const {
    UniqueFd control = tqsys::OpenRetrying(path("control").c_str(), O_WRONLY);
    if (!control.valid())
        return errno;
    // One write: the emulator reads each write to its control file as one batch of commands.
    const ssize_t written = tqsys::RetryOnEintr(
        [&] { return ::write(control.get(), commands.data(), commands.size()); });
    if (written < 0)
        return errno;
    return 0;
}

std::string ChildProcess::start(const std::vector<std::string>& args, const std::string& outputPath,
                                const std::vector<std::string>& extraEnvironment) {
    stop();
    std::vector<std::string> words = args;
    std::vector<char*> argv = pointersTo(words);
    // Built here: after fork only async-signal-safe calls may run, and setenv is none.
    std::vector<std::string> environment = environmentWith(extraEnvironment);
    std::vector<char*> envp = pointersTo(environment);
    UniqueFd output = tqsys::OpenRetrying(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (!output.valid())
        return failure("open " + outputPath, errno);
    pid_t pid = ::fork();
    if (pid < 0)
        return failure("fork", errno);
    if (pid == 0) {
        // Only what the program needs goes along: the caller's admin descriptor stays here.
        ::dup2(output.get(), STDOUT_FILENO);
        ::dup2(output.get(), STDERR_FILENO);
        ::close_range(STDERR_FILENO + 1, ~0U, 0);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    m_pid = pid;
    return std::string();
}

int ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    int status = -1;
    if (m_pid >= 0 && waitForExit(m_pid, timeout, &status))
        m_pid = -1;
    return status;
}

int ChildProcess::stop() {
    if (m_pid < 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    bool exited = waitForExit(m_pid, kStopTimeout, &status);
    if (!exited) {
        ::kill(m_pid, SIGKILL);
        waitForExit(m_pid, kStopTimeout);
    }
    m_pid = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::signal(int number) const {
    if (m_pid >= 0)
        ::kill(m_pid, number);
}

std::string EmulatorProcess::readText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace tqharness
