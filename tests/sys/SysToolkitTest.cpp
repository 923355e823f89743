#include <tqsys/DirEntries.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            readEnd.reset(fds[0]);
            writeEnd.reset(fds[1]);
        }
    }
    tqsys::UniqueFd readEnd;
    tqsys::UniqueFd writeEnd;
};

// A signal handler installed without SA_RESTART, so a blocked read fails with EINTR.
void onSignal(int) {}

class InterruptingSignal {
  public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = onSignal;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &m_old);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &m_old, nullptr); }

  private:
    struct sigaction m_old {};
};

TEST(SysHolders, CloseExactlyOnceAndHandOverOnRelease) {
    Pipe pipe;
    ASSERT_TRUE(pipe.readEnd.valid());
    int raw = pipe.readEnd.get();
    {
        tqsys::UniqueFd moved(std::move(pipe.readEnd));
        EXPECT_FALSE(pipe.readEnd.valid());
        EXPECT_EQ(moved.get(), raw);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw)) << "the holder that ended last must close";

    int writeRaw = pipe.writeEnd.get();
    int handed = pipe.writeEnd.release();
    EXPECT_EQ(handed, writeRaw);
    pipe.writeEnd.reset();
    EXPECT_TRUE(isOpen(handed))
        << "release hands the descriptor over; the holder must not close it";
    tqsys::UniqueFd again(handed);
    again = tqsys::UniqueFd();
    EXPECT_FALSE(isOpen(handed));

    // A descriptor reused by the next open must survive the end of a holder that already
    // gave its own back: a second close would hit the newcomer.
    tqsys::UniqueFd second;
    int number = -1;
    {
        tqsys::UniqueFd first = tqsys::OpenRetrying("/dev/null", O_RDONLY);
        ASSERT_TRUE(first.valid());
        number = first.get();
        first.reset();
        second = tqsys::OpenRetrying("/dev/null", O_RDONLY);
        EXPECT_EQ(second.get(), number);
    }
    EXPECT_TRUE(isOpen(number));
    EXPECT_NE(::fcntl(second.get(), F_GETFD) & FD_CLOEXEC, 0) << "opens add O_CLOEXEC";

    DIR* dir = ::opendir("/");
    ASSERT_NE(dir, nullptr);
    int dirFd = ::dirfd(dir);
    tqsys::UniqueDir holder(dir);
    tqsys::UniqueDir other(std::move(holder));
    EXPECT_FALSE(holder.valid());
    EXPECT_TRUE(isOpen(dirFd));
    other.reset();
    EXPECT_FALSE(isOpen(dirFd));
}

TEST(SysFullIo, ShortTransfersThroughAPipeCompleteAndEndOfFileIsReported) {
    Pipe pipe;
    std::vector<char> sent(1 << 20);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7);
    // A pipe holds far less than this, so both sides see short transfers.
    std::thread writer([&] {
        EXPECT_EQ(tqsys::WriteFull(pipe.writeEnd.get(), sent.data(), sent.size()), 0);
        pipe.writeEnd.reset();
    });
    std::vector<char> got(sent.size());
    EXPECT_EQ(tqsys::ReadFull(pipe.readEnd.get(), got.data(), got.size()), 0);
    writer.join();
    EXPECT_TRUE(got == sent);

    char extra[4];
    size_t count = 99;
    EXPECT_EQ(tqsys::ReadFull(pipe.readEnd.get(), extra, sizeof extra, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(tqsys::ReadFull(pipe.readEnd.get(), extra, sizeof extra), -ENODATA);

    // Errors come back negative, the same way for every helper.
    EXPECT_EQ(tqsys::ReadFull(-1, extra, sizeof extra), -EBADF);
    EXPECT_EQ(tqsys::WriteFull(pipe.readEnd.get(), "x", 1), -EBADF);
    EXPECT_EQ(tqsys::PreadFull(pipe.readEnd.get(), extra, sizeof extra, 0), -ESPIPE);
    EXPECT_EQ(tqsys::PwriteFull(-1, "x", 1, 0), -EBADF);
}

TEST(SysFullIo, PositionedTransfersHonourTheOffset) {
    char path[] = "/tmp/tqsys-test-XXXXXX";
    tqsys::UniqueFd fd(::mkstemp(path));
    ASSERT_TRUE(fd.valid());
    ::unlink(path);
    ASSERT_EQ(tqsys::PwriteFull(fd.get(), "abcdef", 6, 10), 0);
    char out[8] = {};
    size_t got = 0;
    EXPECT_EQ(tqsys::PreadFull(fd.get(), out, sizeof out, 12, &got), 0);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(out, got), "cdef");
    EXPECT_EQ(tqsys::PreadFull(fd.get(), out, sizeof out, 12), -ENODATA);
    EXPECT_EQ(tqsys::PreadFull(fd.get(), out, 3, 13), 0);
    EXPECT_EQ(std::string(out, 3), "def");
}

TEST(SysRetry, InterruptedCallsAreRetriedAndOthersAreNot) {
    InterruptingSignal handler;
    Pipe pipe;
    pthread_t reader = ::pthread_self();
    int interruptions = 0;
    std::thread poker([&] {
        // Interrupt the blocked read several times, then give it its data.
        for (int i = 0; i < 3; ++i) {
            ::usleep(20000);
            ::pthread_kill(reader, SIGUSR1);
        }
        ::usleep(20000);
        EXPECT_EQ(tqsys::WriteFull(pipe.writeEnd.get(), "ok", 2), 0);
    });
    char buffer[2];
    ssize_t n = tqsys::RetryOnEintr([&] {
        ssize_t r = ::read(pipe.readEnd.get(), buffer, sizeof buffer);
        if (r < 0 && errno == EINTR)
            ++interruptions;
        return r;
    });
    poker.join();
    EXPECT_EQ(n, 2);
    EXPECT_GT(interruptions, 0) << "the signal never interrupted the read; the test proves nothing";

    // The full readers retry too.
    std::thread later([&] {
        ::usleep(20000);
        ::pthread_kill(reader, SIGUSR1);
        ::usleep(20000);
        EXPECT_EQ(tqsys::WriteFull(pipe.writeEnd.get(), "go", 2), 0);
    });
    EXPECT_EQ(tqsys::ReadFull(pipe.readEnd.get(), buffer, sizeof buffer), 0);
    later.join();

    int calls = 0;
    int r = tqsys::RetryOnEintr([&] {
        ++calls;
        errno = ENOENT;
        return -1;
    });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(tqsys::OpenRetrying("/nonexistent/x", O_RDONLY).valid());
    EXPECT_EQ(errno, ENOENT);
}

TEST(SysDirEntries, ListsEveryEntryOnceWithoutDotsAcrossSmallBuffers) {
    char path[] = "/tmp/tqsys-dir-XXXXXX";
    ASSERT_NE(::mkdtemp(path), nullptr);
    tqsys::UniqueFd dir = tqsys::OpenRetrying(path, O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(dir.valid());
    std::set<std::string> made;
    for (int i = 0; i < 200; ++i) {
        std::string name = "entry-with-a-longish-name-" + std::to_string(i);
        tqsys::UniqueFd file =
            tqsys::OpenAtRetrying(dir.get(), name.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_TRUE(file.valid());
        made.insert(name);
    }
    // A buffer of a few entries forces many reads.
    char buffer[256];
    tqsys::DirEntryReader reader(dir.get(), buffer, sizeof buffer);
    std::multiset<std::string> seen;
    const tqsys::LinuxDirent64* entry = nullptr;
    int r;
    while ((r = reader.next(&entry)) == 1) {
        seen.insert(entry->d_name);
        EXPECT_EQ(entry->d_type, DT_REG);
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), made);
    EXPECT_EQ(seen.size(), made.size());
    for (const std::string& name : made)
        ::unlinkat(dir.get(), name.c_str(), 0);
    ::rmdir(path);

    tqsys::DirEntryReader bad(-1, buffer, sizeof buffer);
    EXPECT_EQ(bad.next(&entry), -EBADF);
}

}  // namespace
