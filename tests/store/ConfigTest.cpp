#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/stat.h>

using tqtest::HasError;

namespace {

class ConfigReader : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::mkdir(store().c_str(), 0777), 0); }
    std::string store() const { return dir / "store"; }
    std::string config() const { return store() + "/config"; }
    // Writes text as the config file and opens the store from it.
    CZyError openWith(const std::string& text) {
        tqtest::WriteFile(config(), text);
        return s.openStore(store().c_str());
    }
    std::vector<std::string> chain(const std::string& innermost) const {
        return {innermost, "Couldn't open backing store in " + store()};
    }
    tqtest::TempDir dir;
    TqBlkBackingStore s{TqBlkBackingStore::TQBLK_STORE_PRIVATE};
};

TEST_F(ConfigReader, AcceptsCommentsBlankLinesSpacesAndCarriageReturns) {
    ASSERT_OK(
        openWith("# a store\r\n\n  uuid = my store = 1  # trailing\r\n"
                 "other=ignored\n\t device_size\t=\t0x100\r\n"
                 "extent_size=010\njunk line\n"));
    EXPECT_EQ(s.m_uuid, "my store = 1");
    EXPECT_EQ(s.m_deviceSize, 256);
    EXPECT_EQ(s.m_extentSize, 8);
    EXPECT_EQ(s.m_extentCount, 32);
}

TEST_F(ConfigReader, NumbersStopAtTheFirstForeignCharacter) {
    ASSERT_OK(openWith("uuid=u\ndevice_size=12abc\nextent_size=0x10\n"));
    EXPECT_EQ(s.m_deviceSize, 12);
    EXPECT_EQ(s.m_extentSize, 16);
}

TEST_F(ConfigReader, LastOccurrenceOfAKeyWins) {
    ASSERT_OK(openWith("uuid=a\nuuid=b\ndevice_size=1\ndevice_size=9\nextent_size=2\n"));
    EXPECT_EQ(s.m_uuid, "b");
    EXPECT_EQ(s.m_deviceSize, 9);
}

TEST_F(ConfigReader, KeysAreCaseSensitive) {
    EXPECT_TRUE(HasError(openWith("UUID=u\ndevice_size=8\nextent_size=2\n"), EINVAL,
                         chain("Couldn't find UUID in config file " + config())));
}

TEST_F(ConfigReader, MissingKeysAreReportedInOrder) {
    EXPECT_TRUE(
        HasError(openWith(""), EINVAL, chain("Couldn't find UUID in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\nextent_size=2\n"), EINVAL,
                         chain("Couldn't find device size in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=-5\nextent_size=2\n"), EINVAL,
                         chain("Couldn't find device size in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=8\n"), EINVAL,
                         chain("Couldn't find extent size in config file " + config())));
}

TEST_F(ConfigReader, InvalidSizes) {
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=0\nextent_size=2\n"), EINVAL,
                         chain("Invalid device size 0 in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=\nextent_size=2\n"), EINVAL,
                         chain("Invalid device size 0 in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=8\nextent_size=12\n"), EINVAL,
                         chain("Invalid extent size 12 in config file " + config())));
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=8\nextent_size=1\n"), EINVAL,
                         chain("Invalid extent size 1 in config file " + config())));
    // 2^32 keeps only its low 32 bits: 0.
    EXPECT_TRUE(HasError(openWith("uuid=u\ndevice_size=8\nextent_size=4294967296\n"), EINVAL,
                         chain("Invalid extent size 0 in config file " + config())));
}

TEST_F(ConfigReader, FailureLeavesFieldsAsTheyWere) {
    ASSERT_OK(openWith("uuid=good\ndevice_size=64\nextent_size=4\n"));
    EXPECT_TRUE(openWith("uuid=bad\ndevice_size=0\nextent_size=4\n").IsError());
    EXPECT_EQ(s.m_uuid, "good");
    EXPECT_EQ(s.m_deviceSize, 64);
    EXPECT_EQ(s.m_extentCount, 16);
}

TEST_F(ConfigReader, LongLinesArriveInPieces) {
    // A line longer than one read is cut; the piece after the cut is a line of its own.
    std::string text = "uuid=" + std::string(1018, 'a') + "uuid=tail\n";
    ASSERT_OK(openWith(text + "device_size=8\nextent_size=2\n"));
    EXPECT_EQ(s.m_uuid, "tail");
}

TEST_F(ConfigReader, UuidWithCommentSignDoesNotReadBack) {
    ASSERT_OK(openWith("uuid=ab#cd\ndevice_size=8\nextent_size=2\n"));
    EXPECT_EQ(s.m_uuid, "ab");
}

// Runs body in a child process; returns what it returned, or "hung" when it did not finish
// within the given seconds (the child is then killed).
std::string WithinSeconds(int seconds, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string result = body();
        ssize_t ignored = ::write(fds[1], result.data(), result.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    std::string result = "hung";
    if (::poll(&ready, 1, seconds * 1000) == 1) {
        result.clear();
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            result.append(buffer, static_cast<size_t>(n));
    } else {
        ::kill(pid, SIGKILL);
    }
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return result;
}

// A FIFO would block the open (or the read) forever, and a device such as /dev/zero never
// ends: neither may stand in for a config file.
TEST_F(ConfigReader, ConfigsThatAreNoRegularFilesAreRefusedAtOnce) {
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0777), 0);
    for (const std::string& target : {fifo, std::string("/dev/zero"), dir / "folder"}) {
        SCOPED_TRACE(target);
        ::unlink(config().c_str());
        ASSERT_EQ(::symlink(target.c_str(), config().c_str()), 0);
        const std::vector<std::string> refused =
            chain("Config file " + config() + " is not a regular file");
        std::string outcome = WithinSeconds(10, [&]() -> std::string {
            CZyError err;
            std::unique_ptr<TqBlkRecallStore> opened(TqBlkRecallStore::open(store().c_str(), &err));
            if (opened || !HasError(err, EINVAL, refused))
                return "open: " + err.GetDescription();
            std::vector<std::string> notAStore = refused;
            notAStore.push_back(store() + " is not a backing store directory");
            if (!HasError(TqBlkBackingStore::remove(store().c_str()), EINVAL, notAStore))
                return "remove";
            return "";
        });
        EXPECT_EQ(outcome, "");
        EXPECT_TRUE(tqtest::PathExists(config()));
    }
}

TEST_F(ConfigReader, ConfigsOfMoreThan64KiBAreRefused) {
    std::string text = "uuid=u\ndevice_size=8\nextent_size=2\n";
    text += "#" + std::string(64 * 1024 - text.size() - 2, 'x') + "\n";
    ASSERT_EQ(text.size(), 64u * 1024);
    ASSERT_OK(openWith(text));
    EXPECT_EQ(s.m_uuid, "u");
    EXPECT_TRUE(HasError(openWith(text + "\n"), EFBIG,
                         chain("Config file " + config() + " is larger than 65536 bytes")));
}

class ConfigWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_OK(s.createStore(store().c_str(), std::string(900, 'u').c_str(), 1 << 20, 512));
        ASSERT_EQ(::chmod(store().c_str(), 0777), 0);
        original = tqtest::ReadFile(store() + "/config");
    }
    std::string store() const { return dir / "store"; }
    tqtest::TempDir dir;
    TqBlkBackingStore s{TqBlkBackingStore::TQBLK_STORE_PRIVATE};
    std::string original;
};

TEST_F(ConfigWriter, RewriteReplacesTheFileWhole) {
    s.m_deviceSize = 4096;
    ASSERT_OK(s.saveConfig());
    EXPECT_EQ(tqtest::ReadFile(store() + "/config"),
              "uuid=" + std::string(900, 'u') + "\ndevice_size=4096\nextent_size=512\n");
    EXPECT_EQ(tqtest::ListDir(store()), (std::vector<std::string>{"config"}));
}

TEST_F(ConfigWriter, FailedWriteKeepsOldFileAndLeavesNoTemporary) {
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return "setrlimit failed";
        CZyError err = s.saveConfig();
        if (!HasError(err, EFBIG, {"Couldn't write config file " + store() + "/config"}))
            return err.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
    EXPECT_EQ(tqtest::ReadFile(store() + "/config"), original);
    EXPECT_EQ(tqtest::ListDir(store()), (std::vector<std::string>{"config"}));
}

TEST_F(ConfigWriter, UnwritableDirectoryReportsTheConfigPath) {
    ASSERT_EQ(::chmod(store().c_str(), 0555), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        CZyError err = s.saveConfig();
        if (!HasError(err, EACCES,
                      {"Couldn't open config file " + store() + "/config for writing"}))
            return err.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
    EXPECT_EQ(tqtest::ReadFile(store() + "/config"), original);
}

TEST_F(ConfigWriter, CreateReportsSaveFailureWithChain) {
    ASSERT_EQ(::chmod(store().c_str(), 0555), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        TqBlkBackingStore other(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
        // The directory is empty for an unprivileged user to clean only if it holds nothing
        // it may not delete; config is in a read-only directory, so cleaning fails first.
        CZyError err = other.createStore(store().c_str(), "u", 8, 2);
        if (!HasError(err, EACCES,
                      {"Couldn't remove " + store() + "/config",
                       "Couldn't clean backing store's directory " + store()}))
            return err.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
}

}  // namespace
