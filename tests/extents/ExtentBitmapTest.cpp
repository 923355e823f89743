#include "ExtentFixture.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

using tqtest::HasError;

namespace {

using Bitmap = std::vector<std::vector<unsigned char> >;

class ExtentBitmap : public tqtest::StoreTest {
  protected:
    // Fills the bitmap of the private store; the count must always be 32768.
    Bitmap scan() {
        Bitmap bitmap;
        int count = 0;
        CZyError err = priv->getExtentBitmap(&bitmap, &count);
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        EXPECT_EQ(count, 32768);
        return bitmap;
    }
    // Sizes of the chunks: 0 for an empty one.
    static std::vector<size_t> sizes(const Bitmap& bitmap) {
        std::vector<size_t> result;
        for (const auto& chunk : bitmap)
            result.push_back(chunk.size());
        return result;
    }
    static size_t bitsSet(const std::vector<unsigned char>& chunk) {
        size_t n = 0;
        for (unsigned char byte : chunk)
            n += static_cast<size_t>(__builtin_popcount(byte));
        return n;
    }
};

TEST_F(ExtentBitmap, SetsLeastSignificantBitFirstPerChunk) {
    makeStores(40000 * 2LL, 2);
    for (long long extent : {0LL, 7LL, 8LL, 32768LL})
        ASSERT_OK(priv->createExtentWithNUL(extent));
    Bitmap bitmap = scan();
    ASSERT_EQ(sizes(bitmap), (std::vector<size_t>{4096, 4096}));
    EXPECT_EQ(bitmap[0][0], 0x81);
    EXPECT_EQ(bitmap[0][1], 0x01);
    EXPECT_EQ(bitsSet(bitmap[0]), 3u);
    EXPECT_EQ(bitmap[1][0], 0x01);
    EXPECT_EQ(bitsSet(bitmap[1]), 1u);
}

TEST_F(ExtentBitmap, OnlyChunksWithPresentExtentsGetStorage) {
    makeStores(100000 * 2LL, 2);
    ASSERT_OK(priv->createExtentWithNUL(70000));
    Bitmap bitmap = scan();
    ASSERT_EQ(sizes(bitmap), (std::vector<size_t>{0, 0, 4096, 0}));
    EXPECT_EQ(bitmap[2][558], 0x01);
    EXPECT_EQ(bitsSet(bitmap[2]), 1u);

    // The sparse form holds the same chunk alone.
    std::vector<std::pair<long long, std::vector<unsigned char> > > present;
    int count = 0;
    ASSERT_OK(priv->getPresentChunks(&present, &count));
    EXPECT_EQ(count, 32768);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0].first, 2);
    EXPECT_EQ(present[0].second, bitmap[2]);
}

TEST_F(ExtentBitmap, EmptyOrMissingDataTreeGivesEmptyChunks) {
    makeStores(70000 * 2LL, 2);
    EXPECT_EQ(sizes(scan()), (std::vector<size_t>{0, 0, 0}));
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/data/00/00"));
    EXPECT_EQ(sizes(scan()), (std::vector<size_t>{0, 0, 0}));
}

TEST_F(ExtentBitmap, EarlierContentsAreDropped) {
    putExtent(*priv, 2, "x");
    Bitmap bitmap(9, std::vector<unsigned char>(4096, 0xff));
    int count = 0;
    ASSERT_OK(priv->getExtentBitmap(&bitmap, &count));
    ASSERT_EQ(sizes(bitmap), (std::vector<size_t>{4096}));
    EXPECT_EQ(bitmap[0][0], 0x04);
    EXPECT_EQ(bitsSet(bitmap[0]), 1u);
}

TEST_F(ExtentBitmap, NamesThatAreNoExtentsAreIgnored) {
    makeStores(40000 * 2LL, 2);                                    // three groups: data/xx/yy/zz
    ASSERT_OK(priv->createExtentWithNUL(300));                     // data/00/02/2c
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/data/00/02/2d"));  // a folder is no extent
    // Names the lenient parser would take for extents: only canonical groups are names.
    for (const char* name :
         {"data/00/02/2A", "data/00/02", "data/00/02/2d/01", "data/00/2e", "data/00/02/2c.tmp",
          "data/00/02/f0", "data/00/02/12c", "data/00/02/c"})
        tqtest::WriteFile(dir / "p/" + name, "");
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/data/7f/7f"));
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/data/00/7f"));
    tqtest::WriteFile(dir / "p/data/00/02/zz", "");
    tqtest::WriteFile(dir / "p/data/7f/7f/7f", "");  // 2097151: far beyond the last chunk
    tqtest::WriteFile(dir / "p/data/00/7f/7f", "");  // 16383: in range, found as well
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "p/data/03/06"));
    tqtest::WriteFile(dir / "p/data/03/06/50", "");  // 50000: past the count, in the last chunk
    Bitmap bitmap = scan();
    ASSERT_EQ(sizes(bitmap), (std::vector<size_t>{4096, 0}));
    EXPECT_EQ(bitsSet(bitmap[0]), 2u);
    EXPECT_EQ(bitmap[0][300 / 8], 1 << (300 % 8));
    EXPECT_EQ(bitmap[0][16383 / 8], 0x80);
}

TEST_F(ExtentBitmap, LinkedExtentsCountWhereTheyLeadToAFile) {
    tqtest::WriteFile(dir / "elsewhere", "e");
    ASSERT_OK(priv->softLinkExtentFile(dir / "elsewhere", 0));
    ASSERT_OK(priv->softLinkExtentFile(dir / "missing", 1));
    putExtent(*recall, 2, "r");
    ASSERT_OK(priv->hardLinkExtentFile(recall.get(), 2, -1));
    Bitmap bitmap = scan();
    ASSERT_EQ(sizes(bitmap), (std::vector<size_t>{4096}));
    EXPECT_EQ(bitmap[0][0], 0x05);
    bool present = false;
    for (long long extent : {0LL, 1LL, 2LL}) {
        ASSERT_OK(priv->checkExtentFile(extent, &present));
        EXPECT_EQ(present, extent != 1) << extent;
    }
    // A link to a folder is neither an extent nor walked into.
    ASSERT_OK(priv->pruneExtentFile(0));
    ASSERT_OK(priv->softLinkExtentFile(dir.path(), 0));
    EXPECT_EQ(scan()[0][0], 0x04);
}

TEST_F(ExtentBitmap, OneAndTwoGroupBorder) {
    makeStores(128 * 2LL, 2);
    ASSERT_OK(priv->createExtentWithNUL(127));
    EXPECT_TRUE(tqtest::PathExists(dir / "p/data/7f"));
    EXPECT_EQ(scan()[0][15], 0x80);

    makeStores(129 * 2LL, 2);
    ASSERT_OK(priv->createExtentWithNUL(127));
    ASSERT_OK(priv->createExtentWithNUL(128));
    tqtest::WriteFile(dir / "p/data/05", "");  // a one-group name is no extent here
    EXPECT_TRUE(tqtest::PathExists(dir / "p/data/00/7f"));
    EXPECT_TRUE(tqtest::PathExists(dir / "p/data/01/00"));
    Bitmap bitmap = scan();
    EXPECT_EQ(bitmap[0][15], 0x80);
    EXPECT_EQ(bitmap[0][16], 0x01);
    EXPECT_EQ(bitsSet(bitmap[0]), 2u);
}

TEST_F(ExtentBitmap, StoreOfTwoToThe35PlusOneExtents) {
    makeStores(((1LL << 35) + 1) * 2, 2);
    ASSERT_OK(priv->createExtentWithNUL(0));
    ASSERT_OK(priv->createExtentWithNUL(1LL << 35));
    EXPECT_TRUE(tqtest::PathExists(dir / "p/data/00/00/00/00/00/00"));
    EXPECT_TRUE(tqtest::PathExists(dir / "p/data/01/00/00/00/00/00"));
    Bitmap bitmap = scan();
    ASSERT_EQ(bitmap.size(), (1u << 20) + 1);
    size_t nonEmpty = 0;
    for (const auto& chunk : bitmap)
        nonEmpty += chunk.empty() ? 0 : 1;
    EXPECT_EQ(nonEmpty, 2u);
    EXPECT_EQ(bitmap[0][0], 0x01);
    EXPECT_EQ(bitmap[1u << 20][0], 0x01);
}

TEST_F(ExtentBitmap, WalkFailureIsPushedWithTheStoreDirectory) {
    makeStores(200 * 2LL, 2);
    ASSERT_OK(priv->createExtentWithNUL(150));
    ASSERT_EQ(::chmod((dir / "p/data/01").c_str(), 0), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        Bitmap bitmap;
        int count = 0;
        CZyError err = priv->getExtentBitmap(&bitmap, &count);
        if (!HasError(err, EACCES,
                      {"Couldn't open folder " + (dir / "p/data/01"),
                       "Couldn't scan backing store's directory " + (dir / "p")}))
            return err.GetDescription();
        return count == 32768 && bitmap.size() == 1 ? "" : "count or chunks wrong";
    });
    EXPECT_EQ(outcome, "");

    tqtest::RemoveTree(dir / "p/data");
    tqtest::WriteFile(dir / "p/data", "not a folder");
    Bitmap bitmap;
    int count = 0;
    EXPECT_TRUE(HasError(priv->getExtentBitmap(&bitmap, &count), ENOTDIR,
                         {"Couldn't open folder " + (dir / "p/data"),
                          "Couldn't scan backing store's directory " + (dir / "p")}));
    EXPECT_EQ(count, 32768);
}

TEST_F(ExtentBitmap, ExtentCountBeyondTheBitmapFails) {
    makeStores(LLONG_MAX, 2);
    Bitmap bitmap(3);
    int count = 0;
    EXPECT_TRUE(HasError(priv->getExtentBitmap(&bitmap, &count), EINVAL,
                         {"Extent count 4611686018427387904 is too large for a bitmap"}));
    EXPECT_EQ(count, 32768);
}

}  // namespace
