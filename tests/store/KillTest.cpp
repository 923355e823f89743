// A process killed inside createStore, clear or saveConfig, at each of their system calls in
// turn: the store directory must afterwards open with its old or its new config, whole, or
// fail to open with a clear error, and nothing left behind may trip up later operations.
//
// This program stands in for the file system calls in front of the C library; once armed in
// a child, the Nth of them kills the child with SIGKILL before it is made.
#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tqtest::HasError;
using tqtest::ListDir;

namespace {

long g_killAt = 0;  // the call that kills; 0 while disarmed
long g_calls = 0;

void countCall() {
    if (g_killAt > 0 && ++g_calls == g_killAt)
        ::kill(::getpid(), SIGKILL);
}

template <class Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

#define TQTEST_EXPORT extern "C" __attribute__((visibility("default")))

TQTEST_EXPORT int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    countCall();
    static auto real = next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

TQTEST_EXPORT int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    countCall();
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dir, path, flags, mode);
}

TQTEST_EXPORT ssize_t write(int fd, const void* data, size_t size) {
    countCall();
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, data, size);
}

TQTEST_EXPORT int fsync(int fd) {
    countCall();
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

TQTEST_EXPORT int close(int fd) {
    countCall();
    static auto real = next<int (*)(int)>("close");
    return real(fd);
}

TQTEST_EXPORT int rename(const char* from, const char* to) noexcept {
    countCall();
    static auto real = next<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

TQTEST_EXPORT int unlinkat(int dir, const char* path, int flags) noexcept {
    countCall();
    static auto real = next<int (*)(int, const char*, int)>("unlinkat");
    return real(dir, path, flags);
}

TQTEST_EXPORT int unlink(const char* path) noexcept {
    countCall();
    static auto real = next<int (*)(const char*)>("unlink");
    return real(path);
}

TQTEST_EXPORT int mkdir(const char* path, mode_t mode) noexcept {
    countCall();
    static auto real = next<int (*)(const char*, mode_t)>("mkdir");
    return real(path, mode);
}

TQTEST_EXPORT int rmdir(const char* path) noexcept {
    countCall();
    static auto real = next<int (*)(const char*)>("rmdir");
    return real(path);
}

namespace {

struct Metrics {
    std::string uuid;
    long long deviceSize;
    int extentSize;
};

const Metrics kOld{"old-uuid", 200 * 512, 512};  // two groups of names: a folder per 128
const Metrics kNew{"new-uuid", 8 * 4096, 4096};

class StoreKill : public ::testing::Test {
  protected:
    std::string store() const { return dir / "store"; }

    // A store of kOld metrics with extents in two folders and a temporary file.
    void makeOldStore() {
        tqtest::RemoveTree(store());
        TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
        ASSERT_OK(
            s.createStore(store().c_str(), kOld.uuid.c_str(), kOld.deviceSize, kOld.extentSize));
        for (long long extent : {0LL, 1LL, 130LL}) {
            std::string path;
            ASSERT_OK(s.getExtentFileName(extent, &path));
            ASSERT_OK(TqBlkBackingStore::makeParentDir(path));
            tqtest::WriteFile(path, "extent");
        }
        ASSERT_OK(TqBlkBackingStore::mkdir(store() + "/tmp"));
        tqtest::WriteFile(store() + "/tmp/temp0001", "partial");
    }

    // Runs operation in a child killed at call n of the stand-ins. True when the child was
    // killed; false when the operation ran to its end and succeeded.
    bool killedAt(long n, const std::function<CZyError()>& prepare,
                  const std::function<CZyError(CZyError)>& operation) {
        pid_t pid = ::fork();
        if (pid == 0) {
            CZyError ready = prepare();
            g_calls = 0;
            g_killAt = n;
            CZyError err = operation(ready);
            g_killAt = 0;
            ::_exit(err.IsError() ? 1 : 0);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            return true;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return false;
    }

    // What a later process finds: a whole config, old or new, or a missing one reported as
    // such; and a store made again there holds only its config, whatever was left.
    void expectRecoverable(bool newAllowed, bool missingAllowed) {
        TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
        CZyError err = s.openStore(store().c_str());
        if (err.IsError()) {
            EXPECT_TRUE(missingAllowed) << err.GetDescription();
            EXPECT_TRUE(HasError(err, ENOENT,
                                 {"Couldn't open config file " + store() + "/config for reading",
                                  "Couldn't open backing store in " + store()}));
        } else {
            const bool isOld = s.m_uuid == kOld.uuid && s.getDeviceSize() == kOld.deviceSize &&
                               s.getExtentSize() == kOld.extentSize;
            const bool isNew = s.m_uuid == kNew.uuid && s.getDeviceSize() == kNew.deviceSize &&
                               s.getExtentSize() == kNew.extentSize;
            EXPECT_TRUE(isOld || (newAllowed && isNew)) << tqtest::ReadFile(store() + "/config");
            ASSERT_OK(s.saveConfig());
            ASSERT_OK(s.openStore(store().c_str()));
        }
        for (const std::string& name : ListDir(store()))
            EXPECT_TRUE(name == "config" || name == "data" || name == "tmp" ||
                        name.rfind("config.tmp.", 0) == 0)
                << name;
        TqBlkBackingStore again(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
        ASSERT_OK(again.createStore(store().c_str(), "after", 4096, 512));
        EXPECT_EQ(ListDir(store()), std::vector<std::string>{"config"});
    }

    // Kills the operation at call 1, 2, ... until it runs through; returns the number of
    // calls it was killed at.
    long killAtEachCall(const std::function<CZyError()>& prepare,
                        const std::function<CZyError(CZyError)>& operation, bool newAllowed,
                        bool missingAllowed) {
        long n = 1;
        for (; n < 1000; ++n) {
            makeOldStore();
            if (!killedAt(n, prepare, operation))
                break;
            SCOPED_TRACE("killed at call " + std::to_string(n));
            expectRecoverable(newAllowed, missingAllowed);
            if (HasFailure())
                break;
        }
        EXPECT_LT(n, 1000);
        RecordProperty("kills", static_cast<int>(n - 1));
        return n - 1;
    }

    tqtest::TempDir dir;
    TqBlkBackingStore m_store{TqBlkBackingStore::TQBLK_STORE_PRIVATE};
};

TEST_F(StoreKill, CreateStoreOverAnOldStore) {
    long kills = killAtEachCall([] { return CZyError::Success(); },
                                [&](CZyError) {
                                    return m_store.createStore(store().c_str(), kNew.uuid.c_str(),
                                                               kNew.deviceSize, kNew.extentSize);
                                },
                                true, true);
    EXPECT_GT(kills, 10);
}

TEST_F(StoreKill, Clear) {
    long kills = killAtEachCall(
        [&] { return m_store.openStore(store().c_str()); },
        [&](CZyError opened) { return opened.IsError() ? opened : m_store.clear(); }, false, true);
    EXPECT_GT(kills, 10);
}

// saveConfig replaces the file whole: at no moment is the store without its config.
TEST_F(StoreKill, SaveConfigNeverLosesTheConfig) {
    long kills = killAtEachCall(
        [&] {
            CZyError err = m_store.openStore(store().c_str());
            m_store.m_uuid = kNew.uuid;
            m_store.m_deviceSize = kNew.deviceSize;
            m_store.m_extentSize = kNew.extentSize;
            return err;
        },
        [&](CZyError opened) { return opened.IsError() ? opened : m_store.saveConfig(); }, true,
        false);
    EXPECT_GE(kills, 5);  // open, write, fsync, close, rename and the directory's sync
}

}  // namespace
