// Failures made on purpose by standing in for fdopen, fsync and renameat2: this program
// defines them, and the library's calls reach these definitions before the C library's.
#include "ExtentFixture.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <vector>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

using tqtest::HasError;

namespace {

int g_fdopenErrno = 0;                                   // fdopen fails with it when not 0
int g_renameErrno = 0;                                   // renameat2 fails with it when not 0
std::function<void(const char* target)> g_beforeRename;  // runs just before a rename
int g_fsyncErrno = 0;                                    // fsync fails with it when not 0
std::vector<ino_t> g_synced;                             // files fsync was called on
std::vector<bool> g_renamedSynced;  // per rename: whether its source had been synced

template <class Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) FILE* fdopen(int fd, const char* mode) noexcept {
    if (g_fdopenErrno != 0) {
        errno = g_fdopenErrno;
        return nullptr;
    }
    static auto real = next<FILE* (*)(int, const char*)>("fdopen");
    return real(fd, mode);
}

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0)
        g_synced.push_back(st.st_ino);
    if (g_fsyncErrno != 0) {
        errno = g_fsyncErrno;
        return -1;
    }
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" __attribute__((visibility("default"))) int renameat2(int oldDir, const char* oldPath,
                                                                int newDir, const char* newPath,
                                                                unsigned int flags) noexcept {
    struct stat source;
    g_renamedSynced.push_back(::fstatat(oldDir, oldPath, &source, AT_SYMLINK_NOFOLLOW) == 0 &&
                              std::count(g_synced.begin(), g_synced.end(), source.st_ino) > 0);
    if (g_beforeRename)
        g_beforeRename(newPath);
    if (g_renameErrno != 0) {
        errno = g_renameErrno;
        return -1;
    }
    static auto real = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    return real(oldDir, oldPath, newDir, newPath, flags);
}

namespace {

class Faults : public tqtest::StoreTest {
  protected:
    void TearDown() override {
        g_fdopenErrno = 0;
        g_renameErrno = 0;
        g_beforeRename = nullptr;
        g_fsyncErrno = 0;
    }
    void SetUp() override {
        StoreTest::SetUp();
        g_synced.clear();
        g_renamedSynced.clear();
    }
};

// The file's size must be durable before its name: otherwise a power cut can leave an empty
// file at the extent's path, which a device would serve as a short extent.
TEST_F(Faults, SparseExtentIsSyncedBeforeItIsMovedIn) {
    ASSERT_OK(recall->createExtentWithNUL(1));
    EXPECT_EQ(g_renamedSynced, std::vector<bool>{true});
    struct stat st;
    ASSERT_EQ(::stat(pathOf(*recall, 1).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
}

TEST_F(Faults, SparseExtentWhoseSyncFailsIsNeitherPlacedNorLeftBehind) {
    g_fsyncErrno = EIO;
    CZyError err = recall->createExtentWithNUL(1);
    EXPECT_EQ(err.GetErrNo(), EIO);
    ASSERT_EQ(err.GetMessages().size(), 1u);
    EXPECT_EQ(
        err.GetMessages()[0].rfind("Couldn't sync sparse extent file " + (dir / "r/tmp/temp"), 0),
        0u);
    EXPECT_TRUE(g_renamedSynced.empty());
    EXPECT_FALSE(tqtest::PathExists(pathOf(*recall, 1)));
    EXPECT_TRUE(tmpFiles(*recall).empty());
}

TEST_F(Faults, TempStreamFailureClosesAndRemovesTheFile) {
    const size_t open = tqtest::OpenDescriptors();
    g_fdopenErrno = ENOMEM;
    std::string path;
    FILE* stream = reinterpret_cast<FILE*>(&path);
    CZyError err = priv->openTempFile(&path, &stream);
    EXPECT_TRUE(HasError(err, ENOMEM, {"Couldn't make a stream of temporary file " + path}));
    EXPECT_EQ(stream, reinterpret_cast<FILE*>(&path));
    EXPECT_TRUE(tmpFiles(*priv).empty());
    EXPECT_EQ(tqtest::OpenDescriptors(), open);
}

TEST_F(Faults, ExtentStreamFailureClosesTheDescriptor) {
    putExtent(*recall, 1, "kept");
    const size_t open = tqtest::OpenDescriptors();
    g_fdopenErrno = EMFILE;
    FILE* stream = nullptr;
    EXPECT_TRUE(HasError(recall->openExtentFile(1, O_RDONLY, &stream), EMFILE,
                         {"Couldn't make a stream of the file of extent 1"}));
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(tqtest::OpenDescriptors(), open);
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 1)), "kept");
}

TEST_F(Faults, ExtentAppearingJustBeforeTheMoveIsNeverReplaced) {
    const std::string temp = tempWith(*recall, "late");
    g_beforeRename = [](const char* target) { tqtest::WriteFile(target, "first"); };
    ASSERT_OK(recall->moveInExtentFile(temp.c_str(), 0));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 0)), "first");
    EXPECT_EQ(tqtest::ReadFile(temp), "late");  // still the caller's

    ASSERT_OK(recall->createExtentWithNUL(1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 1)), "first");
    EXPECT_EQ(tmpFiles(*recall), std::vector<std::string>{temp.substr(temp.rfind('/') + 1)});
}

TEST_F(Faults, FileSystemsThatCannotRefuseToReplaceTestFirst) {
    for (int unsupported : {EINVAL, ENOSYS}) {
        g_renameErrno = unsupported;
        const std::string temp = tempWith(*recall, "new");
        ASSERT_OK(recall->moveInExtentFile(temp.c_str(), 0));
        EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 0)), "new");
        const std::string second = tempWith(*recall, "second");
        ASSERT_OK(recall->moveInExtentFile(second.c_str(), 0));
        EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 0)), "new");
        EXPECT_EQ(tqtest::ReadFile(second), "second");
        ::unlink(second.c_str());
        ASSERT_OK(recall->pruneExtentFile(0));
    }
}

TEST_F(Faults, OtherRenameFailuresAreReported) {
    g_renameErrno = EIO;
    const std::string temp = tempWith(*recall, "x");
    EXPECT_TRUE(HasError(recall->moveInExtentFile(temp.c_str(), 2), EIO,
                         {"Couldn't move " + temp + " to " + pathOf(*recall, 2)}));
    EXPECT_TRUE(tqtest::PathExists(temp));
    ::unlink(temp.c_str());
    CZyError err = recall->createExtentWithNUL(2);
    EXPECT_EQ(err.GetErrNo(), EIO);
    ASSERT_EQ(err.GetMessages().size(), 1u);
    EXPECT_EQ(err.GetMessages()[0].rfind("Couldn't move " + (dir / "r/tmp/temp"), 0), 0u);
    EXPECT_TRUE(tmpFiles(*recall).empty());
}

}  // namespace
