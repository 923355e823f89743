// Failures made on purpose by standing in for fdopen and renameat2: this program defines
// both, and the library's calls reach these definitions before the C library's.
#include "ExtentFixture.h"

#include <cerrno>
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

extern "C" __attribute__((visibility("default"))) int renameat2(int oldDir, const char* oldPath,
                                                                int newDir, const char* newPath,
                                                                unsigned int flags) noexcept {
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
    }
};

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
