#include "TestSupport.h"

#include <zyutils/TraverseFolder.h>

#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Records what the walk reports, as relative paths.
class Recorder : public CTraverseFolder {
  public:
    std::set<std::string> files, folders, reparse;
    std::string failOn;

    CZyError OnFolder(const std::string& full, const std::string& rel,
                      JQFile::CFileData& data) override {
        folders.insert(rel);
        EXPECT_EQ(full.substr(full.size() - rel.size()), rel);
        return CTraverseFolder::OnFolder(full, rel, data);
    }
    CZyError OnFile(const std::string&, const std::string& rel, JQFile::CFileData&) override {
        files.insert(rel);
        if (rel == failOn)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, EIO, "stop at %s", rel.c_str());
        return CZyError::Success();
    }
    CZyError OnReparsePointFile(const std::string&, const std::string& rel,
                                JQFile::CFileData&) override {
        reparse.insert(rel);
        return CZyError::Success();
    }
};

class Traverse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir((dir / "root").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir / "root/a").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir / "root/a/b").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir / "elsewhere").c_str(), 0777), 0);
        tqtest::WriteFile(dir / "elsewhere/hidden", "h");
        tqtest::WriteFile(dir / "root/top", "t");
        tqtest::WriteFile(dir / "root/a/b/deep", "d");
        ASSERT_EQ(::symlink("../top", (dir / "root/a/to-file").c_str()), 0);
        ASSERT_EQ(::symlink("missing", (dir / "root/a/dangling").c_str()), 0);
        ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "root/to-dir").c_str()), 0);
        ASSERT_EQ(::mkfifo((dir / "root/fifo").c_str(), 0666), 0);
    }
    tqtest::TempDir dir;
};

TEST_F(Traverse, ReportsEveryEntryOnceWithRelativePaths) {
    Recorder r;
    r.AddFolderToList(dir / "root", "root");
    ASSERT_OK(r.Traverse());
    EXPECT_EQ(r.folders, (std::set<std::string>{"root/a", "root/a/b"}));
    EXPECT_EQ(r.files,
              (std::set<std::string>{"root/top", "root/a/b/deep", "root/a/to-file", "root/fifo"}));
    EXPECT_EQ(r.reparse, (std::set<std::string>{"root/a/dangling", "root/to-dir"}));
}

TEST_F(Traverse, MissingQueuedRootIsAnEmptyWalk) {
    Recorder r;
    r.AddFolderToList(dir / "nothing", "nothing");
    r.AddFolderToList(dir / "root/a/b", "b");
    ASSERT_OK(r.Traverse());
    EXPECT_EQ(r.files, (std::set<std::string>{"b/deep"}));
}

TEST_F(Traverse, RootThatIsAFileFails) {
    Recorder r;
    r.AddFolderToList(dir / "root/top", "top");
    CZyError err = r.Traverse();
    EXPECT_TRUE(tqtest::HasError(err, ENOTDIR, {"Couldn't open folder " + (dir / "root/top")}));
}

TEST_F(Traverse, HandlerErrorEndsTheWalk) {
    Recorder r;
    r.failOn = "root/a/b/deep";
    r.AddFolderToList(dir / "root", "root");
    CZyError err = r.Traverse();
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), EIO);
    EXPECT_EQ(err.GetMessages().at(0), "stop at root/a/b/deep");
}

TEST_F(Traverse, UnreadableSubFolderFailsWithItsPath) {
    ASSERT_EQ(::chmod((dir / "root/a/b").c_str(), 0), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        Recorder r;
        r.AddFolderToList(dir / "root", "root");
        CZyError err = r.Traverse();
        if (!tqtest::HasError(err, EACCES, {"Couldn't open folder " + (dir / "root/a/b")}))
            return err.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
}

TEST_F(Traverse, CanRunAgainAfterAWalk) {
    Recorder r;
    r.AddFolderToList(dir / "root/a", "a");
    ASSERT_OK(r.Traverse());
    r.files.clear();
    ASSERT_OK(r.Traverse());  // nothing queued any more
    EXPECT_TRUE(r.files.empty());
}

}  // namespace
