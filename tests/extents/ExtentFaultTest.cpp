// Failures made on purpose by standing in for fdopen, fsync and renameat2, and chosen
// temporary names by standing in for rand: this program defines them, and the library's
// calls reach these definitions before the C library's.
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
std::vector<int> g_draws;           // what rand returns next, first to last
int g_drawsLeft = 0;                // then how many times rand returns g_lastDraw
int g_lastDraw = 0;
int g_drawCount = 0;  // calls of rand made while draws were set

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

extern "C" __attribute__((visibility("default"))) int rand() noexcept {
    if (!g_draws.empty() || g_drawsLeft > 0) {
        ++g_drawCount;
        if (g_draws.empty()) {
            --g_drawsLeft;
            return g_lastDraw;
        }
        int draw = g_draws.front();
        g_draws.erase(g_draws.begin());
        return draw;
    }
    static auto real = next<int (*)()>("rand");
    return real();
}

namespace {

class Faults : public tqtest::StoreTest {
  protected:
    void TearDown() override {
        g_fdopenErrno = 0;
        g_renameErrno = 0;
        g_beforeRename = nullptr;
        g_fsyncErrno = 0;
        g_draws.clear();
        g_drawsLeft = 0;
        g_drawCount = 0;
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
    // A first rename may find the extent's directory missing, and is made again once it is.
    ASSERT_FALSE(g_renamedSynced.empty());
    EXPECT_EQ(g_renamedSynced, std::vector<bool>(g_renamedSynced.size(), true));
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

class TempNames : public Faults {};

TEST_F(TempNames, NameIsTheLow16BitsOfTheDrawInLowercaseHex) {
    g_draws = {0x00a3, 0x7ffffedc};
    std::string first, second;
    int fd = -1;
    ASSERT_OK(priv->openTempFile(&first, &fd));
    ::close(fd);
    ASSERT_OK(priv->openTempFile(&second, &fd));
    ::close(fd);
    EXPECT_EQ(first, dir / "p/tmp/temp00a3");
    EXPECT_EQ(second, dir / "p/tmp/tempfedc");
    EXPECT_EQ(g_drawCount, 2);
}

TEST_F(TempNames, TakenNamesAreSkippedUntilTheBound) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/tmp"));
    for (const char* taken : {"temp0001", "temp0002", "temp0003"})
        tqtest::WriteFile(dir / "p/tmp" + "/" + taken, "taken");
    g_draws = {1, 2, 3, 4};
    std::string path;
    int fd = -1;
    ASSERT_OK(priv->openTempFile(&path, &fd));
    ::close(fd);
    EXPECT_EQ(path, dir / "p/tmp/temp0004");
    EXPECT_EQ(tqtest::ReadFile(dir / "p/tmp/temp0001"), "taken");

    // Every draw names a taken file: exactly 1024 are tried.
    g_drawCount = 0;
    g_lastDraw = 2;
    g_drawsLeft = 5000;
    fd = 5;
    EXPECT_TRUE(HasError(
        priv->openTempFile(&path, &fd), EEXIST,
        {"Couldn't find a free temporary file name in " + (dir / "p/tmp") + " after 1024 tries"}));
    EXPECT_LT(fd, 0);
    EXPECT_EQ(g_drawCount, 1024);
}

TEST_F(TempNames, UnwritableTmpDirectoryFailsWithTheNameTried) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/tmp"));
    ASSERT_EQ(::chmod((dir / "p/tmp").c_str(), 0555), 0);
    g_draws = {0xbeef};
    const std::string expected = dir / "p/tmp/tempbeef";
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        std::string path;
        int fd = 5;
        CZyError err = priv->openTempFile(&path, &fd);
        if (!HasError(err, EACCES, {"Couldn't open temporary extent file " + expected}))
            return err.GetDescription();
        return path == expected && fd < 0 ? "" : "path or fd not as expected";
    });
    EXPECT_EQ(outcome, "");
}

}  // namespace
