#include "TestSupport.h"

#include <zyutils/TraverseFolder.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Counts every report under a lock, so that it serves concurrent walks as well.
class Counter : public CTraverseFolder {
  public:
    explicit Counter(bool concurrent, size_t threads) {
        SetConcurrentHandlers(concurrent);
        SetThreadCount(threads);
    }

    std::map<std::string, int> files, folders, reparse;
    std::atomic<long> calls{0};
    std::atomic<int> inHandler{0};
    std::atomic<int> workers{0};
    long failAtCall = -1;   // the call that fails, counted from 1
    std::string failUnder;  // every file below this relative path fails
    bool throwInstead = false;

    std::map<std::string, int> done;     // folders whose visit ended
    std::atomic<int> doneWithParent{0};  // ... and whose parent was still open

    void OnInitializeWorker() override { ++workers; }
    void OnFolderDone(const std::string&, const std::string& rel,
                      JQFile::CFileData& data) override {
        record(done, rel);
        const size_t slash = rel.rfind('/');
        EXPECT_STREQ(data.m_name, rel.c_str() + slash + 1);
        EXPECT_EQ(data.m_type, DT_DIR);
        struct stat st;
        if (data.m_folderFd >= 0) {
            ++doneWithParent;
            EXPECT_EQ(::fstatat(data.m_folderFd, data.m_name, &st, AT_SYMLINK_NOFOLLOW), 0);
            EXPECT_EQ(st.st_ino, data.m_inode);
        }
    }
    CZyError OnFolder(const std::string& full, const std::string& rel,
                      JQFile::CFileData& data) override {
        record(folders, rel);
        return CTraverseFolder::OnFolder(full, rel, data);
    }
    CZyError OnFile(const std::string&, const std::string& rel, JQFile::CFileData&) override {
        ++inHandler;
        const long call = ++calls;
        record(files, rel);
        CZyError err;
        if (call == failAtCall ||
            (!failUnder.empty() && rel.compare(0, failUnder.size(), failUnder) == 0)) {
            if (throwInstead) {
                --inHandler;
                throw std::runtime_error("handler threw");
            }
            err = JQErrorUtil::ErrorErrNo(JQ_HERE, EIO, "stop at %s", rel.c_str());
        }
        --inHandler;
        return err;
    }
    CZyError OnReparsePointFile(const std::string&, const std::string& rel,
                                JQFile::CFileData&) override {
        record(reparse, rel);
        return CZyError::Success();
    }

  private:
    void record(std::map<std::string, int>& into, const std::string& rel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++into[rel];
    }
    std::mutex m_mutex;
};

size_t openDescriptors() {
    return tqtest::ListDir("/proc/self/fd").size();
}

// Builds a random tree: folders of files, FIFOs, links to files, to folders (inside and
// outside the tree) and to nothing, some long chains of folders, and enough folders that a
// concurrent walk takes more threads.
void makeTree(const std::string& root, const std::string& outside, unsigned seed, int* fileCount) {
    std::mt19937 random(seed);
    ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);
    std::vector<std::string> dirs{root};
    for (int i = 0; i < 400; ++i) {
        const std::string parent = dirs[random() % dirs.size()];
        std::string path = parent + "/d" + std::to_string(i);
        ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
        dirs.push_back(path);
        if (i % 97 == 0) {  // a chain deeper than one thread's share of descriptors
            for (int level = 0; level < 40; ++level) {
                path += "/c" + std::to_string(level);
                ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
            }
            tqtest::WriteFile(path + "/bottom", "b");
            ++*fileCount;
        }
    }
    for (int i = 0; i < 3000; ++i) {
        const std::string parent = dirs[random() % dirs.size()];
        const std::string path = parent + "/e" + std::to_string(i);
        switch (random() % 10) {
            case 0:
                ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
                break;
            case 1:
                ASSERT_EQ(::symlink(dirs[random() % dirs.size()].c_str(), path.c_str()), 0);
                break;
            case 2:
                ASSERT_EQ(::symlink(outside.c_str(), path.c_str()), 0);
                break;
            case 3:
                ASSERT_EQ(::symlink("missing", path.c_str()), 0);
                break;
            default:
                tqtest::WriteFile(path, "x");
                ++*fileCount;
        }
    }
}

class ParallelTraverse : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir((dir / "outside").c_str(), 0777), 0);
        tqtest::WriteFile(dir / "outside/hidden", "h");
    }
    tqtest::TempDir dir;
};

TEST_F(ParallelTraverse, FindsWhatTheSerialWalkFindsOnRandomTrees) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const std::string root = dir / ("tree" + std::to_string(seed));
        int fileCount = 0;
        makeTree(root, dir / "outside", seed, &fileCount);
        Counter serial(false, 0);
        serial.AddFolderToList(root, "t");
        ASSERT_OK(serial.Traverse());
        EXPECT_EQ(serial.workers.load(), 1);
        for (size_t threads : {2, 4, 8}) {
            Counter parallel(true, threads);
            parallel.AddFolderToList(root, "t");
            const size_t before = openDescriptors();
            ASSERT_OK(parallel.Traverse());
            EXPECT_EQ(openDescriptors(), before);
            EXPECT_EQ(parallel.files, serial.files) << "seed " << seed << ", " << threads;
            EXPECT_EQ(parallel.folders, serial.folders) << "seed " << seed << ", " << threads;
            EXPECT_EQ(parallel.reparse, serial.reparse) << "seed " << seed << ", " << threads;
            EXPECT_EQ(parallel.done, serial.folders) << "seed " << seed << ", " << threads;
            EXPECT_EQ(static_cast<size_t>(parallel.workers.load()), threads);
        }
        for (const auto& entry : serial.files)
            ASSERT_EQ(entry.second, 1) << entry.first;
        EXPECT_EQ(serial.done, serial.folders);
        EXPECT_EQ(static_cast<size_t>(serial.doneWithParent.load()), serial.folders.size());
        EXPECT_GE(serial.files.size(), static_cast<size_t>(fileCount));
        EXPECT_EQ(serial.files.count("t/outside/hidden"), 0u);
    }
}

TEST_F(ParallelTraverse, SmallTreeTakesNoThread) {
    int fileCount = 0;
    ASSERT_EQ(::mkdir((dir / "small").c_str(), 0777), 0);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(::mkdir((dir / "small/d" + std::to_string(i)).c_str(), 0777), 0);
        tqtest::WriteFile(dir / "small/d" + std::to_string(i) + "/f", "x");
        ++fileCount;
    }
    Counter walk(true, 8);
    walk.AddFolderToList(dir / "small", "s");
    ASSERT_OK(walk.Traverse());
    EXPECT_EQ(walk.workers.load(), 1);
    EXPECT_EQ(walk.files.size(), static_cast<size_t>(fileCount));
}

// Folders of many files each, so that one failure has plenty left to stop.
void makeWideTree(const std::string& root) {
    ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);
    for (int d = 0; d < 200; ++d) {
        const std::string sub = root + "/d" + std::to_string(d);
        ASSERT_EQ(::mkdir(sub.c_str(), 0777), 0);
        for (int f = 0; f < 60; ++f)
            tqtest::WriteFile(sub + "/f" + std::to_string(f), "");
    }
}

TEST_F(ParallelTraverse, FailureStopsEveryThreadAndIsReportedOnce) {
    makeWideTree(dir / "wide");
    {
        Counter walk(true, 4);
        walk.failAtCall = 5000;  // once the walk has taken its threads
        walk.AddFolderToList(dir / "wide", "w");
        const size_t before = openDescriptors();
        CZyError err = walk.Traverse();
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.GetErrNo(), EIO);
        EXPECT_EQ(err.GetMessages().size(), 1u);
        EXPECT_EQ(err.GetMessages().at(0).compare(0, 10, "stop at w/"), 0);
        // The others end the folder they are reading and stop: far from the 12000 files.
        EXPECT_LT(walk.calls.load(), 5000 + 4 * 120);
        EXPECT_EQ(openDescriptors(), before);
        const long calls = walk.calls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(walk.calls.load(), calls);  // nothing runs on after Traverse
        EXPECT_EQ(walk.inHandler.load(), 0);
    }
    {
        // Every file of one folder fails, on whichever threads meet them: one error comes back.
        Counter walk(true, 4);
        walk.failUnder = "w/d150/";
        walk.AddFolderToList(dir / "wide", "w");
        CZyError err = walk.Traverse();
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.GetMessages().size(), 1u);
        EXPECT_EQ(err.GetMessages().at(0).compare(0, 16, "stop at w/d150/f"), 0);
    }
}

TEST_F(ParallelTraverse, HandlerExceptionReachesTheCallerAfterTheThreadsEnd) {
    makeWideTree(dir / "wide");
    Counter walk(true, 4);
    walk.failAtCall = 5000;
    walk.throwInstead = true;
    walk.AddFolderToList(dir / "wide", "w");
    EXPECT_THROW(walk.Traverse(), std::runtime_error);
    const long calls = walk.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(walk.calls.load(), calls);
    // The object walks again afterwards.
    walk.failAtCall = -1;
    walk.files.clear();
    walk.AddFolderToList(dir / "wide", "w");
    ASSERT_OK(walk.Traverse());
    EXPECT_EQ(walk.files.size(), 12000u);
}

TEST_F(ParallelTraverse, UnreadableSubFolderFailsAsTheSerialWalkDoes) {
    int fileCount = 0;
    makeTree(dir / "tree", dir / "outside", 7, &fileCount);
    const std::string locked = dir / "tree/d0/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0777), 0);
    tqtest::WriteFile(locked + "/inside", "i");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        for (bool concurrent : {false, true}) {
            Counter walk(concurrent, 4);
            walk.AddFolderToList(dir / "tree", "t");
            CZyError err = walk.Traverse();
            if (!tqtest::HasError(err, EACCES, {"Couldn't open folder " + locked}))
                return err.GetDescription();
        }
        return "";
    });
    EXPECT_EQ(outcome, "");
}

// Queues another folder from OnTraverseFolder when it meets an empty one.
class Chainer : public Counter {
  public:
    using Counter::Counter;
    std::string next, nextRel;
    void OnTraverseFolder(const std::string&, const std::string& rel) override {
        if (rel == "e/empty")
            AddFolderToList(next, nextRel);
    }
};

TEST_F(ParallelTraverse, FolderQueuedFromAnyHandlerIsVisited) {
    ASSERT_EQ(::mkdir((dir / "e").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir((dir / "e/empty").c_str(), 0777), 0);
    for (bool concurrent : {false, true}) {
        Chainer walk(concurrent, 4);
        walk.next = dir / "outside";
        walk.nextRel = "o";
        walk.AddFolderToList(dir / "e", "e");
        ASSERT_OK(walk.Traverse());
        EXPECT_EQ(walk.files, (std::map<std::string, int>{{"o/hidden", 1}}));
    }
}

TEST_F(ParallelTraverse, ThreadCountComesFromTheEnvironment) {
    const char* saved = std::getenv("TQBLK_THREADS");
    const std::string keep = saved ? saved : "";
    ::setenv("TQBLK_THREADS", "3", 1);
    EXPECT_EQ(CTraverseFolder::DefaultThreadCount(), 3u);
    ::setenv("TQBLK_THREADS", "1000", 1);
    EXPECT_EQ(CTraverseFolder::DefaultThreadCount(), CTraverseFolder::kMaxThreads);
    ::setenv("TQBLK_THREADS", "many", 1);
    const size_t fallback = CTraverseFolder::DefaultThreadCount();
    EXPECT_GE(fallback, 1u);
    EXPECT_LE(fallback, CTraverseFolder::kMaxThreads);
    ::setenv("TQBLK_THREADS", "0", 1);
    EXPECT_EQ(CTraverseFolder::DefaultThreadCount(), fallback);
    if (saved)
        ::setenv("TQBLK_THREADS", keep.c_str(), 1);
    else
        ::unsetenv("TQBLK_THREADS");
}

}  // namespace
