#ifndef TQBLK_EMULATOR_HARNESS_H
#define TQBLK_EMULATOR_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Runs the emulator for tests and benchmarks. Everything happens inside a private mount
// namespace of the calling process, so the machine's own /dev stays as it is and two runs
// never see each other's mounts.
namespace tqharness {

// The directory where the library looks for its admin node.
constexpr const char* kDriverDir = "/dev/tqblk";

// Moves the process, once, into a private mount namespace in which kDriverDir is an empty
// directory that only this namespace sees (a real driver's node there is hidden). Returns an
// empty text on success, else why it cannot be done (not root, no /dev/fuse, ...). Call it
// before the process starts threads.
std::string EnterPrivateNamespace();

// True when the environment asks that tests needing the emulator fail instead of skipping.
bool SkipIsFailure();

// One emulator process mounted at a directory. Stops it and unmounts on destruction.
class EmulatorProcess {
  public:
    EmulatorProcess() = default;
    ~EmulatorProcess() { stop(); }
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Mounts the emulator at mountPoint with extra command-line options and waits until it
    // serves. Returns an empty text on success, else what went wrong.
    std::string start(const std::string& mountPoint, const std::vector<std::string>& options = {});
    // Stops the emulator (SIGTERM, then SIGKILL after a few seconds) and makes sure its
    // mount is gone. Does nothing when it is not running.
    void stop();
    // Kills the emulator without letting it unmount, as a crash would; stop() cleans up.
    void kill();

    pid_t pid() const { return m_pid; }
    const std::string& mountPoint() const { return m_mountPoint; }
    std::string path(const std::string& name) const { return m_mountPoint + "/" + name; }

    // Runs control commands through the mount's "control" file. Returns 0 or the errno.
    int control(const std::string& commands) const;
    std::string log() const { return readText(path("log")); }
    std::string state() const { return readText(path("state")); }

  private:
    static std::string readText(const std::string& path);

    pid_t m_pid = -1;
    std::string m_mountPoint;
};

// A program run beside the emulator, such as a recall service, with its standard output and
// error going to a file. Stops it on destruction.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the arguments and this process's environment, with the
    // "NAME=value" entries of extraEnvironment added or put in place; its output is appended
    // to outputPath. Returns an empty text on success, else what went wrong.
    std::string start(const std::vector<std::string>& argv, const std::string& outputPath,
                      const std::vector<std::string>& extraEnvironment = {});
    // Waits for it to end by itself: its raw wait status, or -1 when it still runs at timeout
    // (or was not running).
    int waitExit(std::chrono::milliseconds timeout);
    // Sends SIGTERM and waits (SIGKILL after a few seconds). Returns the exit status, or -1
    // when it was not running or did not exit by itself.
    int stop();
    // Sends a signal and returns at once; stop() reaps it. A process killed while one of its
    // requests is in the emulator's hands exits only once that request is answered.
    void signal(int number) const;
    bool running() const { return m_pid >= 0; }
    // Its process ID while it runs, else -1.
    pid_t pid() const { return m_pid; }

  private:
    pid_t m_pid = -1;
};

// True when an emulator's file system is mounted at path in this mount namespace.
bool IsEmulatorMounted(const std::string& path);

}  // namespace tqharness

#endif
