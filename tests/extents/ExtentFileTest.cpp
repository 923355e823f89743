#include "ExtentFixture.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using tqtest::HasError;

namespace {

class ExtentPresence : public tqtest::StoreTest {};

TEST_F(ExtentPresence, ReportsAbsentPresentAndPruned) {
    bool exists = true;
    ASSERT_OK(priv->checkExtentFile(2, &exists));
    EXPECT_FALSE(exists);
    ASSERT_OK(priv->createExtentWithNUL(2));
    ASSERT_OK(priv->checkExtentFile(2, &exists));
    EXPECT_TRUE(exists);
    ASSERT_OK(priv->pruneExtentFile(2));
    ASSERT_OK(priv->checkExtentFile(2, &exists));
    EXPECT_FALSE(exists);
    EXPECT_TRUE(tqtest::IsDirectory(dir / "p/data"));  // emptied directories stay
    EXPECT_TRUE(HasError(priv->pruneExtentFile(2), ENOENT,
                         {"Couldn't remove extent file " + pathOf(*priv, 2) + " for extent 2"}));
}

TEST_F(ExtentPresence, OutOfRangeExtentHasNoName) {
    bool exists = true;
    EXPECT_TRUE(HasError(
        priv->checkExtentFile(3, &exists), EINVAL,
        {"Extent 3 is out of legal range 0..2", "Couldn't derive file name for extent 3"}));
    EXPECT_TRUE(exists);
    EXPECT_TRUE(HasError(
        priv->pruneExtentFile(-1), EINVAL,
        {"Extent -1 is out of legal range 0..2", "Couldn't derive file name for extent -1"}));
}

TEST_F(ExtentPresence, StatFailureOtherThanMissingIsReported) {
    tqtest::WriteFile(dir / "p/data", "a file where the tree should be");
    bool exists = true;
    EXPECT_TRUE(HasError(priv->checkExtentFile(1, &exists), ENOTDIR,
                         {"Couldn't stat extent file " + pathOf(*priv, 1) + " for extent 1"}));
    EXPECT_TRUE(exists);
}

TEST_F(ExtentPresence, SoftLinksAreFollowedAndPrunedAsLinks) {
    tqtest::WriteFile(dir / "target", "t");
    ASSERT_OK(priv->softLinkExtentFile(dir / "target", 0));
    ASSERT_OK(priv->softLinkExtentFile(dir / "missing", 1));
    bool exists = false;
    ASSERT_OK(priv->checkExtentFile(0, &exists));
    EXPECT_TRUE(exists);
    ASSERT_OK(priv->checkExtentFile(1, &exists));
    EXPECT_FALSE(exists);
    ASSERT_OK(priv->pruneExtentFile(0));
    EXPECT_FALSE(tqtest::PathExists(pathOf(*priv, 0)));
    EXPECT_EQ(tqtest::ReadFile(dir / "target"), "t");
}

class TempFiles : public tqtest::StoreTest {};

TEST_F(TempFiles, NameHasFourHexDigitsAndFileIsNewAndWriteOnly) {
    std::string path;
    int fd = -1;
    mode_t old = ::umask(022);
    CZyError err = priv->openTempFile(&path, &fd);
    ::umask(old);
    ASSERT_OK(err);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    ::close(fd);
    const std::string prefix = dir / "p/tmp/temp";
    ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
    const std::string digits = path.substr(prefix.size());
    EXPECT_EQ(digits.size(), 4u) << path;
    EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos) << path;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(TempFiles, TmpDirectoryBlockedByAFile) {
    tqtest::WriteFile(dir / "p/tmp", "x");
    std::string path = "unchanged";
    int fd = 5;
    EXPECT_TRUE(HasError(
        priv->openTempFile(&path, &fd), ENOTDIR,
        {"Can't make directory " + (dir / "p/tmp") + ". It already exists and is not a directory",
         "Couldn't create tmp directory for backup store priv-uuid"}));
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(fd, 5);
}

TEST_F(TempFiles, StreamFormWritesTheFile) {
    std::string path;
    FILE* stream = nullptr;
    ASSERT_OK(recall->openTempFile(&path, &stream));
    ASSERT_NE(stream, nullptr);
    EXPECT_GE(std::fputs("extent data", stream), 0);
    EXPECT_EQ(std::fclose(stream), 0);
    EXPECT_EQ(tqtest::ReadFile(path), "extent data");
    EXPECT_EQ(path.rfind(dir / "r/tmp/temp", 0), 0u);
}

class ExtentOpen : public tqtest::StoreTest {};

TEST_F(ExtentOpen, RecallStoreRefusesAnythingButPlainReading) {
    putExtent(*recall, 0, "recalled");
    const int refused[] = {O_WRONLY,           O_RDWR,
                           O_ACCMODE,          O_RDONLY | O_CREAT,
                           O_RDONLY | O_TRUNC, O_WRONLY | O_CREAT | O_TRUNC};
    for (int flags : refused) {
        for (long long extent : {0LL, 1LL}) {
            int fd = 1234;
            FILE* stream = reinterpret_cast<FILE*>(&fd);
            const std::vector<std::string> message = {
                "Direct write access to recall store's extents is not permitted"};
            EXPECT_TRUE(HasError(recall->openExtentFile(extent, flags, &fd), EPERM, message))
                << flags;
            EXPECT_EQ(fd, 1234);
            CZyError err = recall->openExtentFile(extent, flags, &stream);
            EXPECT_EQ(err.GetErrNo(), EPERM);
            EXPECT_EQ(stream, reinterpret_cast<FILE*>(&fd));
        }
    }
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 0)), "recalled");
    EXPECT_FALSE(tqtest::PathExists(pathOf(*recall, 1)));
}

TEST_F(ExtentOpen, RecallStoreOpensForReading) {
    putExtent(*recall, 2, "recalled");
    FILE* stream = nullptr;
    ASSERT_OK(recall->openExtentFile(2, O_RDONLY, &stream));
    char buffer[16] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, stream), 8u);
    EXPECT_STREQ(buffer, "recalled");
    std::fclose(stream);
}

TEST_F(ExtentOpen, PrivateStoreAllowsWritingAndCreating) {
    int fd = -1;
    ASSERT_OK(priv->openExtentFile(1, O_WRONLY | O_CREAT | O_EXCL, &fd));
    ASSERT_EQ(::write(fd, "abc", 3), 3);
    ::close(fd);
    struct stat st;
    ASSERT_EQ(::stat(pathOf(*priv, 1).c_str(), &st), 0);
    EXPECT_EQ(
        st.st_mode & 0777, 0666u & ~[] {
            mode_t m = ::umask(0);
            ::umask(m);
            return m;
        }());
    ASSERT_OK(priv->openExtentFile(1, O_RDWR | O_TRUNC, &fd));
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), 0);
    ::close(fd);
}

TEST_F(ExtentOpen, AbsentExtentFailsAfterMakingItsDirectories) {
    makeStores(200 * 4096LL, 4096);  // two groups: extent 150 is data/01/16
    int fd = 5;
    EXPECT_TRUE(HasError(recall->openExtentFile(150, O_RDONLY, &fd), ENOENT,
                         {"Couldn't open file " + pathOf(*recall, 150) + " for extent 150"}));
    EXPECT_LT(fd, 0);
    EXPECT_TRUE(tqtest::IsDirectory(dir / "r/data/01"));
    EXPECT_TRUE(HasError(priv->openExtentFile(200, O_RDONLY, &fd), EINVAL,
                         {"Extent 200 is out of legal range 0..199"}));
}

TEST_F(ExtentOpen, StreamModeFollowsTheAccessMode) {
    putExtent(*priv, 0, "0123456789");
    FILE* stream = nullptr;
    ASSERT_OK(priv->openExtentFile(0, O_WRONLY, &stream));
    EXPECT_EQ(std::fgetc(stream), EOF);  // not readable
    std::clearerr(stream);
    EXPECT_GE(std::fputs("ab", stream), 0);
    std::fclose(stream);
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 0)), "ab23456789");  // not truncated

    ASSERT_OK(priv->openExtentFile(0, O_RDWR, &stream));
    EXPECT_EQ(std::fgetc(stream), 'a');
    std::fseek(stream, 9, SEEK_SET);
    EXPECT_EQ(std::fputc('Z', stream), 'Z');
    std::fclose(stream);
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 0)), "ab2345678Z");
}

class SparseExtents : public tqtest::StoreTest {};

TEST_F(SparseExtents, ReadAsZerosAndUseAlmostNoDisk) {
    makeStores(4LL << 20, 1 << 20);
    ASSERT_OK(recall->createExtentWithNUL(3));
    const std::string path = pathOf(*recall, 3);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 20);
    EXPECT_LE(st.st_blocks * 512, 64 * 1024);
    EXPECT_EQ(tqtest::ReadFile(path), std::string(1 << 20, '\0'));
    EXPECT_TRUE(tmpFiles(*recall).empty());
}

TEST_F(SparseExtents, ExistingExtentStaysAsItWas) {
    putExtent(*priv, 1, "data");
    ASSERT_OK(priv->createExtentWithNUL(1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 1)), "data");
    EXPECT_TRUE(tmpFiles(*priv).empty());
}

TEST_F(SparseExtents, WriteFailureLeavesNoTemporaryFile) {
    ASSERT_EQ(::chmod(priv->getDir().c_str(), 0777), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        // Files may not grow past 1 KiB: the byte at 4095 cannot be written.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1024, 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return "setrlimit failed";
        CZyError err = priv->createExtentWithNUL(0);
        if (!HasError(err, EFBIG, {"Couldn't create sparse extent file"}))
            return err.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
    EXPECT_TRUE(tmpFiles(*priv).empty());
    EXPECT_FALSE(tqtest::PathExists(pathOf(*priv, 0)));
}

TEST_F(SparseExtents, MoveInFailureLeavesNoTemporaryFile) {
    makeStores(200 * 4096LL, 4096);
    tqtest::WriteFile(dir / "p/data", "a file where the tree should be");
    EXPECT_TRUE(HasError(priv->createExtentWithNUL(150), ENOTDIR,
                         {"Can't make directory " + (dir / "p/data/01")}));
    EXPECT_TRUE(tmpFiles(*priv).empty());
    EXPECT_TRUE(HasError(priv->createExtentWithNUL(200), EINVAL,
                         {"Extent 200 is out of legal range 0..199"}));
    EXPECT_TRUE(tmpFiles(*priv).empty());
}

}  // namespace
