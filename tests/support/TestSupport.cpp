#include "TestSupport.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tqtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tqblk-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
        return;
    }
    m_path = buffer.data();
    // Let the unprivileged children of RunUnprivileged work below it.
    ::chmod(m_path.c_str(), 0777);
}

TempDir::~TempDir() {
    if (!m_path.empty())
        RemoveTree(m_path);
}

void RemoveTree(const std::string& path) {
    // Make every directory writable first, so that trees made read-only by a test go too.
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat* st, int type, FTW*) {
            if (type == FTW_D)
                ::chmod(p, (st->st_mode & 07777) | 0700);
            return 0;
        },
        32, FTW_PHYS);
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int type, FTW*) {
            return (type == FTW_DP ? ::rmdir(p) : ::unlink(p)) == 0 ? 0 : 0;
        },
        32, FTW_PHYS | FTW_DEPTH);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (struct dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

::testing::AssertionResult HasError(const CZyError& err, int errnoValue,
                                    const std::vector<std::string>& messages) {
    if (!err.IsError())
        return ::testing::AssertionFailure() << "the call succeeded";
    if (err.GetErrNo() != errnoValue)
        return ::testing::AssertionFailure()
               << "errno " << err.GetErrNo() << ", expected " << errnoValue << "\n"
               << err.GetDescription();
    if (err.GetMessages() != messages) {
        auto failure = ::testing::AssertionFailure() << "messages differ; got:";
        for (const std::string& m : err.GetMessages())
            failure << "\n  \"" << m << "\"";
        failure << "\nexpected:";
        for (const std::string& m : messages)
            failure << "\n  \"" << m << "\"";
        return failure;
    }
    return ::testing::AssertionSuccess();
}

namespace {

// Runs body in a forked child, unprivileged or in a private mount namespace.
std::string runInChild(bool unprivileged, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return "pipe failed";
    tqsys::UniqueFd readEnd(fds[0]);
    tqsys::UniqueFd writeEnd(fds[1]);
    pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        readEnd.reset();
        std::string result;
        if (unprivileged &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            result = "could not drop privileges";
        else if (!unprivileged && (::unshare(CLONE_NEWNS) != 0 ||
                                   ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)))
            result = "could not make a private mount namespace";
        else
            result = body();
        tqsys::WriteFull(writeEnd.get(), result.data(), result.size());
        ::_exit(0);
    }
    writeEnd.reset();
    std::string result;
    char buffer[512];
    ssize_t n;
    while ((n = tqsys::RetryOnEintr([&] { return ::read(readEnd.get(), buffer, sizeof buffer); })) >
           0)
        result.append(buffer, static_cast<size_t>(n));
    int status = 0;
    tqsys::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child died";
    return result;
}

}  // namespace

std::string RunUnprivileged(const std::function<std::string()>& body) {
    return runInChild(true, body);
}

std::string RunInPrivateMounts(const std::function<std::string()>& body) {
    return runInChild(false, body);
}

CommandRun RunCommand(const std::string& command) {
    CommandRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    int status = ::pclose(pipe);
    run.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace tqtest
