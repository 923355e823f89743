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
    tqsys::UniqueFd store = tqtools::openStoreDir(tmp / "store");
    struct stat st;
    ASSERT_EQ(::fstat(store.get(), &st), 0);
    tqtools::ExtentDirs dirs(store.get(), st.st_dev);
    const struct {
        const char *name, *gone, *stays;  // what the removal is to take away and to leave
        int error;
    } kCases[] = {
        {"data/00/01", "store/data/00/01", "store/data/00/02", 0},
        {"data/00/02", "store/data/00/02", "store/data/00", 0},
        {"data/00/03", "store/data/00/03", "out/03", 0},
        {"data/00/04", nullptr, "store/data/00/04", EISDIR},
        {"data/00/05", nullptr, "store/data/00", ENOENT},
        {"data/01/03", nullptr, "out/03", ENOTDIR},   // a link where a directory belongs
        {"data/02/05/06", nullptr, "out/05", ELOOP},  // a link on the way
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(dirs.remove(c.name), c.error) << c.name;
        EXPECT_TRUE(c.gone == nullptr || ::access((tmp / c.gone).c_str(), F_OK) != 0) << c.name;
        EXPECT_EQ(::access((tmp / c.stays).c_str(), F_OK), 0) << c.name;
    }
}

}  // namespace
