// Removals within a store's data tree, a batch's directories opened once: a link on the way
// is refused, a link at the end goes (not what it leads to), a directory there stays.
#include "StoreUse.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(StoreUseTest, ARemovalBatchStaysWithinTheStoreAndFollowsNoLink) {
    tqtest::TempDir tmp;
    for (const char* dir :
         {"store", "store/data", "store/data/00", "store/data/00/04", "out", "out/05"})
        ASSERT_EQ(::mkdir((tmp / dir).c_str(), 0700), 0) << dir;
    for (const char* file : {"store/data/00/01", "store/data/00/02", "out/03"})
        ASSERT_EQ(::close(::creat((tmp / file).c_str(), 0600)), 0) << file;
    ASSERT_EQ(::symlink((tmp / "out/03").c_str(), (tmp / "store/data/00/03").c_str()), 0);
    for (const char* link : {"store/data/01", "store/data/02"})
        ASSERT_EQ(::symlink((tmp / "out").c_str(), (tmp / link).c_str()), 0);
    tqtools::Fd store(tqtools::openStoreDir(tmp / "store"));
    struct stat st;
    ASSERT_EQ(::fstat(store.get(), &st), 0);
    tqtools::ExtentDirs dirs(store.get(), st.st_dev);
    const struct {
        const char* name;
        int error;
        const char* gone;   // what the removal took away
        const char* stays;  // what it left
    } kCases[] = {
        {"data/00/01", 0, "store/data/00/01", "store/data/00/02"},
        {"data/00/02", 0, "store/data/00/02", "store/data/00"},
        {"data/00/03", 0, "store/data/00/03", "out/03"},
        {"data/00/04", EISDIR, nullptr, "store/data/00/04"},
        {"data/00/05", ENOENT, nullptr, "store/data/00"},
        {"data/01/03", ENOTDIR, nullptr, "out/03"},   // a link where a directory belongs
        {"data/02/05/06", ELOOP, nullptr, "out/05"},  // a link on the way
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(dirs.remove(c.name), c.error) << c.name;
        if (c.gone) {
            EXPECT_FALSE(exists(tmp / c.gone)) << c.name;
        }
        EXPECT_TRUE(exists(tmp / c.stays)) << c.name;
    }
}

}  // namespace
