#include "ExtentFixture.h"

#include <cerrno>
#include <unistd.h>

using tqtest::HasError;
using tqtest::InodeOf;

namespace {

class ExtentLinkCheck : public tqtest::StoreTest {};

TEST_F(ExtentLinkCheck, TellsAbsentFileAndLinkApart) {
    bool exists = true;
    std::string target = "untouched";
    ASSERT_OK(priv->checkExtentLink(0, &exists, &target));
    EXPECT_FALSE(exists);
    EXPECT_EQ(target, "untouched");

    putExtent(*priv, 0, "data");
    ASSERT_OK(priv->checkExtentLink(0, &exists, &target));
    EXPECT_TRUE(exists);
    EXPECT_EQ(target, "untouched");

    ASSERT_OK(priv->softLinkExtentFile("../elsewhere/x", 1));
    target.clear();
    ASSERT_OK(priv->checkExtentLink(1, &exists, &target));
    EXPECT_TRUE(exists);
    EXPECT_EQ(target, "../elsewhere/x");
}

TEST_F(ExtentLinkCheck, LinkThatLeadsNowhereIsThereButItsExtentIsAbsent) {
    ASSERT_OK(priv->softLinkExtentFile(dir / "missing", 2));
    bool linked = false, present = true;
    std::string target;
    ASSERT_OK(priv->checkExtentLink(2, &linked, &target));
    ASSERT_OK(priv->checkExtentFile(2, &present));
    EXPECT_TRUE(linked);
    EXPECT_EQ(target, dir / "missing");
    EXPECT_FALSE(present);
}

TEST_F(ExtentLinkCheck, Failures) {
    bool exists = false;
    std::string target;
    EXPECT_TRUE(HasError(
        priv->checkExtentLink(3, &exists, &target), EINVAL,
        {"Extent 3 is out of legal range 0..2", "Couldn't derive file name for extent 3"}));
    tqtest::WriteFile(dir / "p/data", "x");
    EXPECT_TRUE(HasError(priv->checkExtentLink(0, &exists, &target), ENOTDIR,
                         {"Couldn't stat extent file " + pathOf(*priv, 0) + " for extent 0"}));
}

class SoftLinks : public tqtest::StoreTest {};

TEST_F(SoftLinks, LinkingAgainChangesNothing) {
    makeStores(200 * 4096LL, 4096);
    ASSERT_OK(recall->softLinkExtentFile("/some/where", 150));  // makes data/01
    const std::string path = pathOf(*recall, 150);
    const ino_t first = InodeOf(path);
    ASSERT_OK(recall->softLinkExtentFile("/some/where", 150));
    EXPECT_EQ(InodeOf(path), first);
    bool exists = false;
    std::string target;
    ASSERT_OK(recall->checkExtentLink(150, &exists, &target));
    EXPECT_EQ(target, "/some/where");
}

TEST_F(SoftLinks, ReplacesLinksElsewhereAndRegularFiles) {
    tqtest::WriteFile(dir / "a", "a");
    tqtest::WriteFile(dir / "b", "b");
    ASSERT_OK(priv->softLinkExtentFile(dir / "a", 0));
    ASSERT_OK(priv->softLinkExtentFile(dir / "b", 0));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 0)), "b");
    putExtent(*priv, 1, "own data");
    ASSERT_OK(priv->softLinkExtentFile(dir / "a", 1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 1)), "a");
    EXPECT_EQ(tqtest::ReadFile(dir / "a"), "a");
}

TEST_F(SoftLinks, LinkThatLeadsNowhereIsComparedAndReplaced) {
    ASSERT_OK(priv->softLinkExtentFile(dir / "missing", 0));
    const ino_t first = InodeOf(pathOf(*priv, 0));
    ASSERT_OK(priv->softLinkExtentFile(dir / "missing", 0));
    EXPECT_EQ(InodeOf(pathOf(*priv, 0)), first);
    tqtest::WriteFile(dir / "present", "p");
    ASSERT_OK(priv->softLinkExtentFile(dir / "present", 0));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 0)), "p");
}

TEST_F(SoftLinks, Failures) {
    EXPECT_TRUE(HasError(priv->softLinkExtentFile("t", 3), EINVAL,
                         {"Extent 3 is out of legal range 0..2"}));
    ASSERT_OK(TqBlkBackingStore::mkdir(pathOf(*priv, 0)));  // a directory at the extent's path
    EXPECT_TRUE(HasError(priv->softLinkExtentFile("t", 0), EISDIR,
                         {"Couldn't delete " + pathOf(*priv, 0)}));
    EXPECT_TRUE(HasError(priv->softLinkExtentFile("", 1), ENOENT,
                         {"Couldn't create soft link " + pathOf(*priv, 1) + " to "}));
    makeStores(200 * 4096LL, 4096);
    tqtest::WriteFile(dir / "p/data", "x");
    EXPECT_TRUE(HasError(priv->softLinkExtentFile("t", 150), ENOTDIR,
                         {"Can't make directory " + (dir / "p/data/01")}));
}

class HardLinks : public tqtest::StoreTest {};

TEST_F(HardLinks, SameExtentOfAnotherStoreSharesTheFile) {
    makeStores(200 * 4096LL, 4096);
    putExtent(*priv, 150, "shared");
    ASSERT_OK(recall->hardLinkExtentFile(priv.get(), 150, -1));
    const std::string linked = pathOf(*recall, 150);
    EXPECT_EQ(InodeOf(linked), InodeOf(pathOf(*priv, 150)));
    tqtest::WriteFile(linked, "changed");
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 150)), "changed");
    ASSERT_OK(recall->hardLinkExtentFile(priv.get(), 150, 7));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 7)), "changed");
}

TEST_F(HardLinks, ReplacesAnExistingFileAndRepeats) {
    putExtent(*priv, 1, "source");
    putExtent(*recall, 1, "old");
    ASSERT_OK(recall->hardLinkExtentFile(priv.get(), 1, -1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 1)), "source");
    ASSERT_OK(recall->hardLinkExtentFile(priv.get(), 1, -1));
    EXPECT_EQ(InodeOf(pathOf(*recall, 1)), InodeOf(pathOf(*priv, 1)));
}

TEST_F(HardLinks, ExtentOntoItsOwnFileKeepsItsData) {
    putExtent(*priv, 2, "only copy");
    ASSERT_OK(priv->hardLinkExtentFile(priv.get(), 2, 2));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 2)), "only copy");
    // Another object of the same directory, reached through a link to it.
    ASSERT_EQ(::symlink((dir / "p").c_str(), (dir / "alias").c_str()), 0);
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> alias(
        TqBlkPrivateStore::open((dir / "alias").c_str(), &err));
    ASSERT_TRUE(alias) << err.GetDescription();
    ASSERT_OK(alias->hardLinkExtentFile(priv.get(), 2, -1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*priv, 2)), "only copy");
}

TEST_F(HardLinks, MissingSourceFailsAfterMakingDestinationDirectories) {
    makeStores(200 * 4096LL, 4096);
    EXPECT_TRUE(HasError(
        recall->hardLinkExtentFile(priv.get(), 150, -1), ENOENT,
        {"Couldn't create hard link " + pathOf(*recall, 150) + " to " + pathOf(*priv, 150)}));
    EXPECT_TRUE(tqtest::IsDirectory(dir / "r/data/01"));
}

TEST_F(HardLinks, MetricsAndRangesAreCheckedFirst) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> other(
        TqBlkPrivateStore::create((dir / "o").c_str(), "other-uuid", 3 * 4096, 8192, &err));
    ASSERT_TRUE(other) << err.GetDescription();
    EXPECT_TRUE(HasError(recall->hardLinkExtentFile(other.get(), 1, -1), EINVAL,
                         {"Can't hard link extent file 1 from backing store other-uuid: Store "
                          "metrics do not match"}));
    EXPECT_FALSE(tqtest::PathExists(dir / "r/data"));
    EXPECT_TRUE(HasError(recall->hardLinkExtentFile(priv.get(), 5, 0), EINVAL,
                         {"Extent 5 is out of legal range 0..2"}));
    EXPECT_TRUE(HasError(recall->hardLinkExtentFile(priv.get(), 0, 3), EINVAL,
                         {"Extent 3 is out of legal range 0..2"}));
    EXPECT_TRUE(HasError(recall->hardLinkExtentFile(nullptr, 0, 0), EINVAL,
                         {"NULL source backing store passed as input"}));
}

TEST_F(HardLinks, DirectoryInTheWayCannotBeDeleted) {
    putExtent(*priv, 0, "source");
    ASSERT_OK(TqBlkBackingStore::mkdir(pathOf(*recall, 0)));
    EXPECT_TRUE(HasError(recall->hardLinkExtentFile(priv.get(), 0, -1), EISDIR,
                         {"Couldn't delete " + pathOf(*recall, 0)}));
}

}  // namespace
