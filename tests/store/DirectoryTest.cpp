#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using tqtest::HasError;
using tqtest::IsDirectory;

namespace {

class MakeDirectory : public ::testing::Test {
  protected:
    tqtest::TempDir dir;
};

TEST_F(MakeDirectory, MakesMissingParentsWithUmaskMode) {
    mode_t old = ::umask(027);
    CZyError err = TqBlkBackingStore::mkdir(dir / "a/b/c");
    ::umask(old);
    ASSERT_OK(err);
    for (const char* p : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(::stat((dir / p).c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0750u) << p;
    }
}

TEST_F(MakeDirectory, AcceptsExistingDirectoryAndLinkToOne) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "d"));
    ASSERT_EQ(::symlink((dir / "d").c_str(), (dir / "link").c_str()), 0);
    EXPECT_OK(TqBlkBackingStore::mkdir(dir / "d"));
    EXPECT_OK(TqBlkBackingStore::mkdir(dir / "link"));
}

TEST_F(MakeDirectory, ExistingFileIsNotADirectory) {
    tqtest::WriteFile(dir / "f", "x");
    EXPECT_TRUE(HasError(
        TqBlkBackingStore::mkdir(dir / "f"), ENOTDIR,
        {"Can't make directory " + (dir / "f") + ". It already exists and is not a directory"}));
}

TEST_F(MakeDirectory, FileInTheWayFailsWithoutRetry) {
    tqtest::WriteFile(dir / "f", "x");
    CZyError err = TqBlkBackingStore::mkdir(dir / "f/x/y");
    EXPECT_TRUE(HasError(err, ENOTDIR, {"Can't make directory " + (dir / "f/x/y")}));
    EXPECT_EQ(err.GetLocations().size(), 1u);
}

TEST_F(MakeDirectory, DeepFailurePushesOneMessagePerLevel) {
    ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0555), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        CZyError err = TqBlkBackingStore::mkdir(dir / "ro/a/b/c");
        if (!HasError(err, EACCES,
                      {"Can't make directory " + (dir / "ro/a"),
                       "Can't make directory " + (dir / "ro/a/b"),
                       "Can't make directory " + (dir / "ro/a/b/c")}))
            return err.GetDescription();
        return err.GetLocations().size() == 3 ? "" : "wrong location count";
    });
    EXPECT_EQ(outcome, "");
}

TEST_F(MakeDirectory, EmptyNameIsInvalid) {
    EXPECT_TRUE(
        HasError(TqBlkBackingStore::mkdir(""), EINVAL, {"Can't make a directory with empty name"}));
}

TEST_F(MakeDirectory, TrailingSlashWithMissingParentSucceeds) {
    // The second attempt sees EEXIST for "x/y/" after "x/y" was made as its parent.
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "x/y/"));
    EXPECT_TRUE(IsDirectory(dir / "x/y"));
    EXPECT_OK(TqBlkBackingStore::mkdir(dir / "x/y/"));
}

TEST_F(MakeDirectory, RacingMakersAllSucceed) {
    std::vector<std::thread> threads;
    std::vector<CZyError> results(8);
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = TqBlkBackingStore::mkdir(dir / "r/s/t/u"); });
    for (auto& t : threads)
        t.join();
    for (const CZyError& err : results)
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
}

TEST_F(MakeDirectory, BareNameInDeletedWorkingDirectoryIsNotRetried) {
    ASSERT_EQ(::mkdir((dir / "cwd").c_str(), 0777), 0);
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir((dir / "cwd").c_str()), 0);
    ASSERT_EQ(::rmdir((dir / "cwd").c_str()), 0);
    CZyError err = TqBlkBackingStore::mkdir("name");
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_TRUE(HasError(err, ENOENT, {"Can't make directory name"}));
}

TEST_F(MakeDirectory, ParentOfAFile) {
    EXPECT_OK(TqBlkBackingStore::makeParentDir("bare-name"));
    EXPECT_TRUE(HasError(TqBlkBackingStore::makeParentDir("/name"), EINVAL,
                         {"Can't make a directory with empty name"}));
    ASSERT_OK(TqBlkBackingStore::makeParentDir(dir / "d/sub/file"));
    EXPECT_TRUE(IsDirectory(dir / "d/sub"));
    EXPECT_FALSE(tqtest::PathExists(dir / "d/sub/file"));
}

class RemoveUnder : public ::testing::Test {
  protected:
    tqtest::TempDir dir;
};

TEST_F(RemoveUnder, EmptiesTreeButKeepsDirectoryAndLinkTargets) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "d/x/y"));
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "outside"));
    tqtest::WriteFile(dir / "outside/keep", "k");
    tqtest::WriteFile(dir / "d/x/y/f", "1");
    tqtest::WriteFile(dir / "d/top", "2");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "d/x/link").c_str()), 0);
    ASSERT_OK(TqBlkBackingStore::rmUnder(dir / "d"));
    EXPECT_TRUE(IsDirectory(dir / "d"));
    EXPECT_TRUE(tqtest::ListDir(dir / "d").empty());
    EXPECT_EQ(tqtest::ReadFile(dir / "outside/keep"), "k");
    EXPECT_OK(TqBlkBackingStore::rmUnder(dir / "d"));  // already empty
}

TEST_F(RemoveUnder, ArgumentErrors) {
    EXPECT_TRUE(HasError(TqBlkBackingStore::rmUnder(""), EINVAL,
                         {"Can't delete children of a directory with empty name"}));
    tqtest::WriteFile(dir / "f", "x");
    EXPECT_TRUE(HasError(TqBlkBackingStore::rmUnder(dir / "f"), ENOTDIR,
                         {"Couldn't open directory " + (dir / "f")}));
    EXPECT_TRUE(HasError(TqBlkBackingStore::rmUnder(dir / "none"), ENOENT,
                         {"Couldn't open directory " + (dir / "none")}));
}

TEST_F(RemoveUnder, PermissionFailureDeepInTreeCarriesOneMessagePerLevel) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "d/s"));
    tqtest::WriteFile(dir / "d/s/f", "x");
    ASSERT_EQ(::chmod((dir / "d").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((dir / "d/s").c_str(), 0555), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        CZyError err = TqBlkBackingStore::rmUnder(dir / "d");
        if (!HasError(err, EACCES,
                      {"Couldn't remove " + (dir / "d/s/f"),
                       "Couldn't remove directory " + (dir / "d/s")}))
            return err.GetDescription();
        return err.GetLocations().size() == 2 ? "" : "wrong location count";
    });
    EXPECT_EQ(outcome, "");
    EXPECT_TRUE(tqtest::PathExists(dir / "d/s/f"));
}

}  // namespace
