#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

namespace {

std::string nameOf(long long extent, long long count) {
    char buffer[64];
    int size = tqblk_bstore_make_extent_fname(extent, count, buffer);
    EXPECT_EQ(size, static_cast<int>(std::strlen(buffer)) + 1);
    return buffer;
}

struct NameCase {
    long long count;
    long long extent;
    const char* name;
};

TEST(ExtentNames, FormAndParseTheTable) {
    const NameCase cases[] = {
        {1, 0, "data/00"},
        {100, 5, "data/05"},
        {100, 99, "data/63"},
        {128, 127, "data/7f"},
        {129, 127, "data/00/7f"},
        {129, 128, "data/01/00"},
        {16384, 16383, "data/7f/7f"},
        {16385, 16384, "data/01/00/00"},
        {20000, 300, "data/00/02/2c"},
        {20000, 19999, "data/01/1c/1f"},
        {(1LL << 35) + 1, 1LL << 35, "data/01/00/00/00/00/00"},
        {(1LL << 35) + 1, 0, "data/00/00/00/00/00/00"},
        {0x7fffffffffffffffLL, 0x7ffffffffffffffeLL, "data/7f/7f/7f/7f/7f/7f/7f/7f/7e"},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(nameOf(c.extent, c.count), c.name);
        EXPECT_EQ(tqblk_bstore_parse_extent_fname(c.name, c.count), c.extent) << c.name;
    }
}

TEST(ExtentNames, SizingCallWritesNothing) {
    EXPECT_EQ(tqblk_bstore_make_extent_fname(0, 1, nullptr), 8);
    EXPECT_EQ(tqblk_bstore_make_extent_fname(0, 129, nullptr), 11);
    EXPECT_EQ(tqblk_bstore_make_extent_fname(0, 16385, nullptr), 14);
    EXPECT_EQ(tqblk_bstore_make_extent_fname(0, 0x7fffffffffffffffLL, nullptr), 32);
}

TEST(ExtentNames, EveryExtentAtGroupBordersHasItsOwnName) {
    for (long long count : {128LL, 129LL, 16384LL, 16385LL}) {
        std::set<std::string> names;
        for (long long e = 0; e < count; ++e) {
            std::string name = nameOf(e, count);
            ASSERT_EQ(tqblk_bstore_parse_extent_fname(name.c_str(), count), e);
            names.insert(name);
        }
        EXPECT_EQ(names.size(), static_cast<size_t>(count));
    }
}

TEST(ExtentNames, ParserLeniencies) {
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/ff", 100), 127);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/123", 100), 35);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/", 100), 0);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/7f", 100), 127);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data//05", 200), 5);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/00/", 200), 0);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/ffffffffffffffffffff01", 100), 1);
}

TEST(ExtentNames, ParserRejections) {
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/0A", 100), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/00/05", 100), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("dat/00", 100), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("", 100), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/05", 200), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/00/05/", 200), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/0 ", 100), -1);
    EXPECT_EQ(tqblk_bstore_parse_extent_fname("data/00/00/00/00/00/00/00/00/00/00/00", 200), -1);
}

TEST(ExtentPathArgs, ExtentSizeOneIsNotAStore) {
    tqtest::TempDir dir;
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    EXPECT_TRUE(s.createStore((dir / "s").c_str(), "u", 20000, 1).IsError());
}

TEST(ExtentPathArgs, ComposesDirectorySlashName) {
    tqtest::TempDir dir;
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    std::string storeDir = dir / "s/";  // used unchanged, double slash and all
    ASSERT_OK(s.createStore(storeDir.c_str(), "u", 40000, 2));
    std::string path = "untouched";
    ASSERT_OK(s.getExtentFileName(300, &path));
    EXPECT_EQ(path, storeDir + "/data/00/02/2c");
    EXPECT_EQ(s.m_extentNameLen, 14);
    ASSERT_OK(s.getExtentFileName(19999, &path));
    EXPECT_EQ(path, storeDir + "/data/01/1c/1f");
}

TEST(ExtentPathArgs, OutOfRangeLeavesPathAlone) {
    tqtest::TempDir dir;
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    ASSERT_OK(s.createStore((dir / "s").c_str(), "u", 100, 2));
    std::string path = "untouched";
    EXPECT_TRUE(tqtest::HasError(s.getExtentFileName(-1, &path), EINVAL,
                                 {"Extent -1 is out of legal range 0..49"}));
    EXPECT_TRUE(tqtest::HasError(s.getExtentFileName(50, &path), EINVAL,
                                 {"Extent 50 is out of legal range 0..49"}));
    EXPECT_EQ(path, "untouched");
}

TEST(ExtentPathArgs, StoreSetUpAgainFormsNamesOfItsNewGeometry) {
    tqtest::TempDir dir;
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    std::string path;
    // Short names first, then longer ones: a kept length would cut the new names off.
    ASSERT_OK(s.createStore((dir / "small").c_str(), "u", 3 * 4096, 4096));
    ASSERT_OK(s.getExtentFileName(2, &path));
    EXPECT_EQ(path, dir / "small/data/02");
    ASSERT_OK(s.createStore((dir / "large").c_str(), "u", 1LL << 40, 4096));
    ASSERT_OK(s.getExtentFileName(12345, &path));
    EXPECT_EQ(path, dir / "large/data/00/00/60/39");
    // Back to short names, through openStore: a kept length would run past the name.
    ASSERT_OK(s.openStore((dir / "small").c_str()));
    ASSERT_OK(s.getExtentFileName(1, &path));
    EXPECT_EQ(path, dir / "small/data/01");
    // Equal group counts keep the cached length.
    ASSERT_OK(s.createStore((dir / "mid").c_str(), "u", 100 * 4096, 4096));
    ASSERT_OK(s.getExtentFileName(99, &path));
    EXPECT_EQ(path, dir / "mid/data/63");
}

TEST(ExtentPathArgs, FreshObjectSharedByThreadsAgreesOnNames) {
    tqtest::TempDir dir;
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    ASSERT_OK(s.createStore((dir / "s").c_str(), "u", 1LL << 40, 4096));
    std::vector<std::thread> threads;
    std::vector<std::string> paths(4);
    for (size_t i = 0; i < paths.size(); ++i)
        threads.emplace_back([&, i] { s.getExtentFileName(12345, &paths[i]); });
    for (auto& t : threads)
        t.join();
    for (const std::string& p : paths)
        EXPECT_EQ(p, dir / "s/data/00/00/60/39");
}

}  // namespace
