#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Bitmap = std::vector<std::vector<unsigned char> >;

// Pins the walk's thread count through the environment for one scope.
class PinnedThreads {
  public:
    explicit PinnedThreads(int threads) {
        const char* saved = std::getenv("TQBLK_THREADS");
        m_had = saved != nullptr;
        if (saved)
            m_saved = saved;
        ::setenv("TQBLK_THREADS", std::to_string(threads).c_str(), 1);
    }
    ~PinnedThreads() {
        if (m_had)
            ::setenv("TQBLK_THREADS", m_saved.c_str(), 1);
        else
            ::unsetenv("TQBLK_THREADS");
    }

  private:
    bool m_had = false;
    std::string m_saved;
};

size_t openDescriptors() {
    return tqtest::ListDir("/proc/self/fd").size();
}

class ParallelStore : public ::testing::Test {
  protected:
    tqtest::TempDir dir;
};

// A store of 2^21 extents (names of three groups) with a random spread of extent files,
// links to extents, to folders and to nothing, FIFOs, names that are no extents and folders
// deeper than any name; the extents that must be found go to *expected.
std::unique_ptr<TqBlkPrivateStore> makeRandomStore(const std::string& path, unsigned seed,
                                                   std::set<long long>* expected) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(
        TqBlkPrivateStore::create(path.c_str(), "uuid", (1LL << 21) * 4096, 4096, &err));
    EXPECT_TRUE(store) << err.GetDescription();
    if (!store)
        return store;
    std::mt19937_64 random(seed);
    std::vector<long long> made;
    for (int i = 0; i < 1200; ++i) {
        const long long extent = static_cast<long long>(random() % (1ULL << 21));
        std::string name;
        EXPECT_OK(store->getExtentFileName(extent, &name));
        EXPECT_OK(TqBlkBackingStore::makeParentDir(name));
        if (tqtest::PathExists(name))
            continue;
        switch (random() % 8) {
            case 0:
                if (made.empty())
                    continue;
                {
                    std::string target;
                    EXPECT_OK(store->getExtentFileName(made[random() % made.size()], &target));
                    EXPECT_EQ(::symlink(target.c_str(), name.c_str()), 0);
                }
                expected->insert(extent);
                break;
            case 1:
                EXPECT_EQ(::symlink(path.c_str(), name.c_str()), 0);  // a link to a folder
                break;
            case 2:
                EXPECT_EQ(::symlink("missing", name.c_str()), 0);
                break;
            case 3:
                EXPECT_EQ(::mkfifo(name.c_str(), 0666), 0);
                expected->insert(extent);
                break;
            case 4:
                tqtest::WriteFile(name + "X", "not an extent");
                break;
            case 5:
                EXPECT_EQ(::mkdir((name + "0").c_str(), 0777), 0);
                tqtest::WriteFile(name + "0/7f", "too deep");
                break;
            default:
                tqtest::WriteFile(name, "");
                made.push_back(extent);
                expected->insert(extent);
        }
    }
    return store;
}

TEST_F(ParallelStore, BitmapIsTheSameOnAnyNumberOfThreads) {
    for (unsigned seed = 1; seed <= 2; ++seed) {
        std::set<long long> expected;
        std::unique_ptr<TqBlkPrivateStore> store =
            makeRandomStore(dir / ("s" + std::to_string(seed)), seed, &expected);
        ASSERT_TRUE(store);
        Bitmap serial;
        int count = 0;
        {
            PinnedThreads pin(1);
            ASSERT_OK(store->getExtentBitmap(&serial, &count));
        }
        std::set<long long> found;
        for (size_t c = 0; c < serial.size(); ++c)
            for (size_t byte = 0; byte < serial[c].size(); ++byte)
                for (int bit = 0; bit < 8; ++bit)
                    if (serial[c][byte] & (1u << bit))
                        found.insert(static_cast<long long>(c * 32768 + byte * 8 + bit));
        EXPECT_EQ(found, expected);
        for (int threads : {2, 3, 8}) {
            PinnedThreads pin(threads);
            Bitmap parallel(5, std::vector<unsigned char>(7, 0xff));  // earlier contents go
            const size_t before = openDescriptors();
            ASSERT_OK(store->getExtentBitmap(&parallel, &count));
            EXPECT_EQ(openDescriptors(), before);
            EXPECT_EQ(count, 32768);
            EXPECT_TRUE(parallel == serial) << "seed " << seed << ", " << threads << " threads";
        }
    }
}

TEST_F(ParallelStore, ClearAndRemoveOnThreadsNeverFollowLinks) {
    ASSERT_OK(TqBlkBackingStore::mkdir(dir / "outside/inner"));
    tqtest::WriteFile(dir / "outside/inner/keep", "k");
    std::set<long long> expected;
    std::unique_ptr<TqBlkPrivateStore> store = makeRandomStore(dir / "s", 3, &expected);
    ASSERT_TRUE(store);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(
            ::symlink(
                (dir / "outside").c_str(),
                (dir / "s/data/0" + std::to_string(i % 8) + "/out" + std::to_string(i)).c_str()),
            0);
    PinnedThreads pin(4);
    const size_t before = openDescriptors();
    ASSERT_OK(store->clear());
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(tqtest::ListDir(dir / "s"), (std::vector<std::string>{"config"}));
    EXPECT_EQ(tqtest::ReadFile(dir / "outside/inner/keep"), "k");
    makeRandomStore(dir / "t", 4, &expected);
    ASSERT_OK(TqBlkBackingStore::remove((dir / "t").c_str()));
    EXPECT_FALSE(tqtest::PathExists(dir / "t"));
    EXPECT_EQ(tqtest::ReadFile(dir / "outside/inner/keep"), "k");
}

// A wide tree with one folder deep down whose file can't be removed.
void makeTreeWithStubbornFile(const std::string& root) {
    ASSERT_OK(TqBlkBackingStore::mkdir(root));
    ASSERT_EQ(::chmod(root.c_str(), 0777), 0);
    for (int d = 0; d < 150; ++d) {
        const std::string sub = root + "/s" + std::to_string(d);
        ASSERT_OK(TqBlkBackingStore::mkdir(sub));
        ASSERT_EQ(::chmod(sub.c_str(), 0777), 0);
        for (int f = 0; f < 10; ++f)
            tqtest::WriteFile(sub + "/f" + std::to_string(f), "");
    }
    ASSERT_OK(TqBlkBackingStore::mkdir(root + "/s100/ro"));
    tqtest::WriteFile(root + "/s100/ro/f", "stays");
    ASSERT_EQ(::chmod((root + "/s100/ro").c_str(), 0555), 0);
}

TEST_F(ParallelStore, RemovalFailureOnThreadsIsTheSerialOne) {
    makeTreeWithStubbornFile(dir / "one");
    makeTreeWithStubbornFile(dir / "many");
    std::string outcome = tqtest::RunUnprivileged([&]() -> std::string {
        CZyError serial, parallel;
        {
            PinnedThreads pin(1);
            serial = TqBlkBackingStore::rmUnder(dir / "one");
        }
        {
            PinnedThreads pin(4);
            parallel = TqBlkBackingStore::rmUnder(dir / "many");
        }
        if (!tqtest::HasError(parallel, EACCES,
                              {"Couldn't remove " + (dir / "many/s100/ro/f"),
                               "Couldn't remove directory " + (dir / "many/s100/ro"),
                               "Couldn't remove directory " + (dir / "many/s100")}))
            return parallel.GetDescription();
        if (serial.GetLocations().size() != parallel.GetLocations().size())
            return "locations differ:\n" + serial.GetDescription() + "\n" +
                   parallel.GetDescription();
        return "";
    });
    EXPECT_EQ(outcome, "");
    EXPECT_EQ(tqtest::ReadFile(dir / "many/s100/ro/f"), "stays");
}

}  // namespace
