#include "ExtentFixture.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using tqtest::HasError;

namespace {

class ExtentMoveIn : public tqtest::StoreTest {};

TEST_F(ExtentMoveIn, PlacesTheFileAndMakesItsDirectories) {
    makeStores(200 * 4096LL, 4096);
    const std::string temp = tempWith(*recall, "recalled");
    ASSERT_OK(recall->moveInExtentFile(temp.c_str(), 150));
    EXPECT_EQ(tqtest::ReadFile(dir / "r/data/01/16"), "recalled");
    EXPECT_FALSE(tqtest::PathExists(temp));
    EXPECT_TRUE(tmpFiles(*recall).empty());
}

TEST_F(ExtentMoveIn, ExistingExtentKeepsBothFiles) {
    putExtent(*recall, 1, "first");
    const std::string temp = tempWith(*recall, "second");
    ASSERT_OK(recall->moveInExtentFile(temp.c_str(), 1));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 1)), "first");
    EXPECT_EQ(tqtest::ReadFile(temp), "second");
}

TEST_F(ExtentMoveIn, SoftLinkThatLeadsNowhereGivesWay) {
    ASSERT_OK(recall->softLinkExtentFile(dir / "gone", 0));
    const std::string temp = tempWith(*recall, "recalled");
    ASSERT_OK(recall->moveInExtentFile(temp.c_str(), 0));
    EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, 0)), "recalled");
    EXPECT_FALSE(tqtest::PathExists(temp));
}

TEST_F(ExtentMoveIn, FailuresNameBothPaths) {
    const std::string missing = dir / "r/tmp/temp0000";
    EXPECT_TRUE(HasError(recall->moveInExtentFile(missing.c_str(), 0), ENOENT,
                         {"Couldn't move " + missing + " to " + pathOf(*recall, 0)}));
    EXPECT_TRUE(HasError(recall->moveInExtentFile(missing.c_str(), 3), EINVAL,
                         {"Extent 3 is out of legal range 0..2"}));
}

TEST_F(ExtentMoveIn, SourceOnAnotherFileSystemFailsWithEXDEV) {
    struct stat shm, store;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path().c_str(), &store) != 0 ||
        shm.st_dev == store.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    const std::string source = "/dev/shm/tqblk-exdev-" + std::to_string(::getpid());
    tqtest::WriteFile(source, "x");
    CZyError err = recall->moveInExtentFile(source.c_str(), 0);
    ::unlink(source.c_str());
    EXPECT_TRUE(HasError(err, EXDEV, {"Couldn't move " + source + " to " + pathOf(*recall, 0)}));
}

class ExtentRaces : public ExtentMoveIn {};

TEST_F(ExtentRaces, ConcurrentMoveInsPlaceExactlyOneFile) {
    makeStores(200 * 4096LL, 4096);
    constexpr int kThreads = 4;
    for (long long extent = 0; extent < 50; ++extent) {
        std::vector<std::string> temps;
        for (int t = 0; t < kThreads; ++t)
            temps.push_back(tempWith(*recall, "writer " + std::to_string(t)));
        std::atomic<int> ready{0};
        std::vector<CZyError> results(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                ++ready;
                while (ready < kThreads) {
                }
                results[t] = recall->moveInExtentFile(temps[t].c_str(), extent);
            });
        for (auto& thread : threads)
            thread.join();
        int placed = 0;
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_FALSE(results[t].IsError()) << results[t].GetDescription();
            if (tqtest::PathExists(temps[t])) {
                ::unlink(temps[t].c_str());  // a loser's source stays the caller's
            } else {
                ++placed;
                EXPECT_EQ(tqtest::ReadFile(pathOf(*recall, extent)), "writer " + std::to_string(t));
            }
        }
        ASSERT_EQ(placed, 1) << "extent " << extent;
    }
    EXPECT_TRUE(tmpFiles(*recall).empty());
}

TEST_F(ExtentRaces, ConcurrentSparseCreatorsAllSucceedAndLeaveNoTemporaryFile) {
    makeStores(200 * 4096LL, 4096);
    std::vector<std::thread> threads;
    std::vector<CZyError> results(4);
    for (size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] {
            for (long long extent = 0; extent < 200 && !results[t].IsError(); ++extent)
                results[t] = recall->createExtentWithNUL(extent);
        });
    for (auto& thread : threads)
        thread.join();
    for (const CZyError& err : results)
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
    EXPECT_TRUE(tmpFiles(*recall).empty());
    bool exists = false;
    ASSERT_OK(recall->checkExtentFile(199, &exists));
    EXPECT_TRUE(exists);
}

}  // namespace
