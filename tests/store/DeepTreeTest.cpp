// Directory trees far deeper than any store's extent names: emptying them, scanning stores
// that hold them and walking them must neither overflow the stack nor run out of descriptors.
#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>
#include <zyutils/TraverseFolder.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using tqtest::HasError;
using tqtest::ListDir;

namespace {

constexpr int kDeepLevels = 20000;

// Makes `levels` nested directories "d" below dir (mode 0777), each relative to the last.
void BuildChain(const std::string& dir, int levels) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << dir;
    for (int level = 0; level < levels; ++level) {
        ASSERT_EQ(::mkdirat(fd, "d", 0777), 0) << "level " << level;
        ::fchmodat(fd, "d", 0777, 0);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        ASSERT_GE(next, 0) << "level " << level;
        fd = next;
    }
    ::close(fd);
}

// Removes a chain of "d" below dir, with a file "f" at any level, without recursion: down to
// the bottom, then back up through "..", removing each level on the way.
void RemoveChain(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    size_t depth = 0;
    for (int child; (child = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) >= 0; ++depth) {
        ::close(fd);
        fd = child;
    }
    for (; depth > 0; --depth) {
        ::unlinkat(fd, "f", 0);
        int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = parent;
        ::unlinkat(fd, "d", AT_REMOVEDIR);
    }
    ::close(fd);
}

// A fresh directory on a memory file system where there is one: twenty thousand directory
// levels on a disk cost a minute, in memory a second.
class FastTempDir {
  public:
    FastTempDir() {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tqblk-deep-XXXXXX";
        if (::mkdtemp(&pattern[0]) && ::chmod(pattern.c_str(), 0777) == 0)
            m_path = pattern;
        else
            ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
    }
    ~FastTempDir() { tqtest::RemoveTree(m_path); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

class DeepTree : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& chainDir : chains)
            RemoveChain(chainDir);
    }
    // A chain of `levels` below dir, removed in TearDown if the test leaves it.
    void chain(const std::string& at, int levels) {
        chains.push_back(at);
        BuildChain(at, levels);
    }
    std::string store() const { return dir / "store"; }

    FastTempDir dir;
    std::vector<std::string> chains;
};

TEST_F(DeepTree, RmUnderEmptiesAChainOfTwentyThousandLevels) {
    ASSERT_EQ(::mkdir((dir / "top").c_str(), 0777), 0);
    tqtest::WriteFile(dir / "top/file", "x");
    chain(dir / "top", kDeepLevels);
    ASSERT_OK(TqBlkBackingStore::rmUnder(dir / "top"));
    EXPECT_TRUE(ListDir(dir / "top").empty());
}

TEST_F(DeepTree, CreateClearAndRemoveEmptyDeepTrees) {
    ASSERT_EQ(::mkdir(store().c_str(), 0777), 0);
    chain(store(), kDeepLevels);
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "u", 8, 2, &err));
    ASSERT_TRUE(s) << err.GetDescription();
    EXPECT_EQ(ListDir(store()), std::vector<std::string>{"config"});

    chain(store(), kDeepLevels);
    ASSERT_OK(s->clear());
    EXPECT_EQ(ListDir(store()), std::vector<std::string>{"config"});

    chain(store(), kDeepLevels);
    ASSERT_OK(TqBlkBackingStore::remove(store().c_str()));
    EXPECT_FALSE(tqtest::PathExists(store()));
}

// A failure at the bottom of a deep tree names the levels near the top one by one and sums
// up the rest, so the error stays small.
TEST_F(DeepTree, FailureFarDownNamesTheTopLevelsAndCountsTheRest) {
    ASSERT_EQ(::mkdir((dir / "top").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((dir / "top").c_str(), 0777), 0);
    chain(dir / "top", 300);
    std::vector<std::string> levels{dir / "top"};  // levels[i]: i levels below top
    for (int level = 1; level <= 300; ++level)
        levels.push_back(levels.back() + "/d");
    tqtest::WriteFile(levels[300] + "/f", "x");
    ASSERT_EQ(::chmod(levels[300].c_str(), 0555), 0);

    std::vector<std::string> expected = {
        "Couldn't remove " + levels[300] + "/f",
        "Couldn't remove 44 nested directories below " + levels[256]};
    for (size_t level = 256; level > 0; --level)
        expected.push_back("Couldn't remove directory " + levels[level]);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        CZyError err = TqBlkBackingStore::rmUnder(dir / "top");
        return HasError(err, EACCES, expected) ? "" : err.GetDescription().substr(0, 2000);
    });
    EXPECT_EQ(outcome, "");
    EXPECT_TRUE(tqtest::PathExists(levels[300] + "/f"));
}

TEST_F(DeepTree, BitmapScanSkipsFoldersDeeperThanExtentNames) {
    // One group of names: extents are files right in "data"; two: one folder level more.
    for (long long extents : {3LL, 200LL}) {
        SCOPED_TRACE(extents);
        CZyError err;
        std::unique_ptr<TqBlkPrivateStore> s(
            TqBlkPrivateStore::create(store().c_str(), "u", extents * 512, 512, &err));
        ASSERT_TRUE(s) << err.GetDescription();
        std::string path;
        ASSERT_OK(s->getExtentFileName(2, &path));
        ASSERT_OK(TqBlkBackingStore::makeParentDir(path));
        tqtest::WriteFile(path, "x");
        const std::string deep = path.substr(0, path.rfind('/'));
        chain(deep, kDeepLevels);

        std::vector<std::vector<unsigned char>> bitmap;
        int count = 0;
        ASSERT_OK(s->getExtentBitmap(&bitmap, &count));
        ASSERT_EQ(bitmap.size(), 1u);
        ASSERT_EQ(bitmap[0].size(), 4096u);
        EXPECT_EQ(bitmap[0][0], 0x04);
        RemoveChain(deep);
    }
}

// Counts the folders a walk enters.
class FolderCounter : public CTraverseFolder {
  public:
    void OnTraverseFolder(const std::string&, const std::string&) override { ++entered; }
    size_t entered = 0;
};

TEST_F(DeepTree, TraversalFailsCleanlyBelowItsDepthBound) {
    ASSERT_EQ(::mkdir((dir / "top").c_str(), 0777), 0);
    chain(dir / "top", kDeepLevels);
    FolderCounter walk;
    EXPECT_EQ(walk.GetMaxDepth(), CTraverseFolder::kDefaultMaxDepth);
    ASSERT_OK(walk.AddFolderToList(dir / "top", "top"));
    CZyError err = walk.Traverse();
    std::string tooDeep = dir / "top";
    for (size_t level = 0; level <= CTraverseFolder::kDefaultMaxDepth; ++level)
        tooDeep += "/d";
    ASSERT_EQ(err.GetErrNo(), ELOOP) << err.GetDescription();
    EXPECT_EQ(err.GetMessages(), std::vector<std::string>{"Couldn't enter folder " + tooDeep +
                                                          ": it lies more than 256 levels deep"});
    EXPECT_EQ(walk.entered, CTraverseFolder::kDefaultMaxDepth + 1);
}

TEST_F(DeepTree, TraversalEntersExactlyAsDeepAsItsBound) {
    ASSERT_EQ(::mkdir((dir / "top").c_str(), 0777), 0);
    chain(dir / "top", 3);
    FolderCounter walk;
    walk.SetMaxDepth(3);
    ASSERT_OK(walk.AddFolderToList(dir / "top", "top"));
    ASSERT_OK(walk.Traverse());
    EXPECT_EQ(walk.entered, 4u);

    walk.SetMaxDepth(2);
    ASSERT_OK(walk.AddFolderToList(dir / "top", "top"));
    EXPECT_TRUE(HasError(
        walk.Traverse(), ELOOP,
        {"Couldn't enter folder " + (dir / "top/d/d/d") + ": it lies more than 2 levels deep"}));
}

}  // namespace
