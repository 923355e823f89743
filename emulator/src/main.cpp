// tqblk-emulator: serves an emulated tqblk kernel driver through a FUSE mount, so that the
// library runs unchanged, through real system calls, without the kernel driver.

#include "Emulator.h"
#include "FuseFs.h"

#include <tqsys/FullIo.h>
#include <tqsys/UniqueFd.h>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: tqblk-emulator [options] MOUNTPOINT\n"
    "Mounts an emulated tqblk driver at MOUNTPOINT (for example /dev/tqblk) and serves it\n"
    "until it is unmounted or gets SIGINT or SIGTERM.\n"
    "  --ready-delay-ms=N     a new device turns ready N ms after its creation (default 0)\n"
    "  --recall-wait-ms=N     a recall fetch waits N ms for a request, then fails with\n"
    "                         EAGAIN (default 200)\n"
    "                         (N from 0 to 2147483647 for both)\n"
    "  --ready-fd=FD          write \"ready\\n\" to descriptor FD once mounted, then close it\n"
    "  --read-log=FILE        append a line per extent each device read returns, with\n"
    "                         whether it was present, recalled or waited for\n"
    "  --allow-init-namespace mount even in the mount namespace of process 1\n"
    "  --debug                print every FUSE request\n";

struct CommandLine {
    tqemu::EmulatorOptions options;
    int readyFd = -1;
    std::string readLog;  // empty: none
    bool allowInitNamespace = false;
    bool debug = false;
};

// Reads a number of milliseconds from 0 to kMaxMillis; says what is wrong otherwise.
bool parseMillis(const char* option, const char* text, std::chrono::milliseconds* value) {
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > tqemu::kMaxMillis) {
        std::fprintf(stderr,
                     "tqblk-emulator: --%s=%s: expected a number of milliseconds from 0 to "
                     "%lld\n",
                     option, text, tqemu::kMaxMillis);
        return false;
    }
    *value = std::chrono::milliseconds(parsed);
    return true;
}

bool parseFd(const char* text, int* fd) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > INT_MAX)
        return false;
    *fd = static_cast<int>(parsed);
    return true;
}

bool parseCommandLine(int argc, char** argv, CommandLine* line) {
    enum { kReadyDelay = 1, kRecallWait, kReadyFd, kReadLog, kAllowInit, kDebug, kHelp };
    static const option longOptions[] = {
        {"ready-delay-ms", required_argument, nullptr, kReadyDelay},
        {"recall-wait-ms", required_argument, nullptr, kRecallWait},
        {"ready-fd", required_argument, nullptr, kReadyFd},
        {"read-log", required_argument, nullptr, kReadLog},
        {"allow-init-namespace", no_argument, nullptr, kAllowInit},
        {"debug", no_argument, nullptr, kDebug},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        bool ok = true;
        switch (option) {
            case kReadyDelay:
                ok = parseMillis("ready-delay-ms", optarg, &line->options.readyDelay);
                break;
            case kRecallWait:
                ok = parseMillis("recall-wait-ms", optarg, &line->options.recallWait);
                break;
            case kReadyFd:
                ok = parseFd(optarg, &line->readyFd);
                break;
            case kReadLog:
                line->readLog = optarg;
                ok = !line->readLog.empty();
                break;
            case kAllowInit:
                line->allowInitNamespace = true;
                break;
            case kDebug:
                line->debug = true;
                break;
            default:
                return false;
        }
        if (!ok)
            return false;
    }
    if (optind + 1 != argc)
        return false;
    line->options.mountPoint = argv[optind];
    return true;
}

// The machine's own mount namespace, where a mount at /dev/tqblk would hide a real driver
// from everyone; the emulator belongs in a private one. Recent kernels give the initial mount
// namespace a fixed inode number; older ones gave it the first dynamic one. Where process 1's
// namespace can be read, it decides.
bool inInitMountNamespace() {
    constexpr ino_t kFixedInitIno = 0xEFFFFFF8U;
    constexpr ino_t kFirstDynamicIno = 0xF0000000U;
    struct stat own, init;
    if (::stat("/proc/self/ns/mnt", &own) != 0)
        return true;
    if (::stat("/proc/1/ns/mnt", &init) == 0) {
        return own.st_dev == init.st_dev && own.st_ino == init.st_ino;
    }
    return own.st_ino == kFixedInitIno || own.st_ino == kFirstDynamicIno;
}

// Takes over fd and closes it once the word is written.
void signalReady(tqsys::UniqueFd fd) {
    if (!fd.valid())
        return;
    static const char ready[] = "ready\n";
    tqsys::WriteFull(fd.get(), ready, sizeof ready - 1);
}

int serve(const CommandLine& line) {
    tqsys::UniqueFd readyFd(line.readyFd);
    std::unique_ptr<tqemu::ReadLog> readLog;
    if (!line.readLog.empty()) {
        int error = 0;
        readLog = tqemu::ReadLog::open(line.readLog, &error);
        if (!readLog) {
            std::fprintf(stderr, "tqblk-emulator: --read-log %s: %s\n", line.readLog.c_str(),
                         std::strerror(error));
            return 1;
        }
    }
    tqemu::Emulator emulator(line.options, std::move(readLog));
    std::vector<const char*> args = {"tqblk-emulator", "-o",
                                     "nodev,nosuid,default_permissions,fsname=tqblk-emulator,"
                                     "subtype=tqblk"};
    if (line.debug)
        args.push_back("-d");
    fuse_args fuseArgs =
        FUSE_ARGS_INIT(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    const fuse_lowlevel_ops& ops = tqemu::fileSystemOperations();
    fuse_session* session = fuse_session_new(&fuseArgs, &ops, sizeof ops, &emulator);
    if (session == nullptr)
        return 1;
    int status = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, line.options.mountPoint.c_str()) == 0) {
            signalReady(std::move(readyFd));
            fuse_loop_config* config = fuse_loop_cfg_create();
            // A positive result names the signal that asked the loop to end: a clean stop.
            status = fuse_session_loop_mt(session, config) < 0 ? 1 : 0;
            fuse_loop_cfg_destroy(config);
            emulator.shutdown();
            fuse_session_unmount(session);
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    fuse_opt_free_args(&fuseArgs);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    if (!parseCommandLine(argc, argv, &line)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!line.allowInitNamespace && inInitMountNamespace()) {
        std::fprintf(stderr,
                     "tqblk-emulator: refusing to mount in the machine's own mount namespace; "
                     "run it under \"unshare --mount --propagation private\" (see "
                     "run-in-namespace.sh) or pass --allow-init-namespace\n");
        return 2;
    }
    char resolved[PATH_MAX];
    if (::realpath(line.options.mountPoint.c_str(), resolved) == nullptr) {
        std::fprintf(stderr, "tqblk-emulator: %s: %s\n", line.options.mountPoint.c_str(),
                     std::strerror(errno));
        return 1;
    }
    line.options.mountPoint = resolved;
    return serve(line);
}
