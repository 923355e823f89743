// A recall store under a size limit: a device four times larger than its store's limit, read
// over and over by several readers while the service evicts, returns the right bytes every
// time, keeps the store near its limit and leaves the device's private store alone.

#include "RoadFixture.h"

#include <nlohmann/json.hpp>

#include <ftw.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

namespace roadtest {
namespace {

constexpr long long kKiB = 1024;
constexpr int kExtentSize = 64 * 1024;
constexpr long long kDeviceSize = 4096 * kKiB;
constexpr long long kLimit = 1024 * kKiB;

// The bytes a store's extent files occupy, as the service counts them.
long long g_bytes = 0;
long long StoreBytes(const std::string& dir) {
    g_bytes = 0;
    ::nftw((dir + "/data").c_str(),
           [](const char*, const struct stat* st, int type, struct FTW*) {
               if (type == FTW_F)
                   g_bytes += static_cast<long long>(st->st_blocks) * 512;
               return 0;
           },
           16, FTW_PHYS);
    return g_bytes;
}

class BoundedStoreTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        RoadTest::TearDown();
    }

    // What the device reads: the image, with the extents written through it.
    std::vector<char> expected(long long offset, size_t size) const {
        std::vector<char> bytes = Pattern(offset, size);
        for (size_t i = 0; i < size; ++i) {
            if (m_written.count((offset + static_cast<long long>(i)) / kExtentSize) > 0)
                bytes[i] = 'W';
        }
        return bytes;
    }

    std::set<long long> m_written;
    tqharness::ChildProcess m_service;
};

TEST_F(BoundedStoreTest, ADeviceLargerThanItsStoreLimitReadsRightWhileExtentsAreEvicted) {
    const std::string image = makeImage(kDeviceSize);
    makeDevice("bounded", kDeviceSize, kExtentSize, kExtentSize);
    const std::string stats = m_temp / "stats.json";
    ASSERT_EQ(m_service.start({TQBLK_RECALLD_PATH, "--uuid", m_uuid, "--recall-store",
                               m_recall->getDir(), "--image", image, "--workers", "3",
                               "--store-limit", "1M", "--stats-file", stats, "--quiet"},
                              m_temp / "service.log"),
              "");
    // Writes go to the private store, which eviction never touches.
    for (long long extent : {3, 40}) {
        ASSERT_EQ(WriteAt(m_dataPath, extent * kExtentSize, std::vector<char>(kExtentSize, 'W')),
                  0);
        m_written.insert(extent);
    }

    std::atomic<bool> done{false};
    std::atomic<long long> most{0};
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most.load(), StoreBytes(m_recall->getDir()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // Readers of random ranges, skewed to the first quarter, beside whole sequential passes.
    std::vector<std::thread> readers;
    std::atomic<int> wrong{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 random(1234 + r);
            std::uniform_int_distribution<long long> near(0, kDeviceSize / 4 - 1);
            std::uniform_int_distribution<long long> far(0, kDeviceSize - 1);
            std::uniform_int_distribution<int> sizes(1, 3 * kExtentSize);
            for (int i = 0; i < 150; ++i) {
                long long offset = (i % 4 == 0 ? far : near)(random);
                size_t size = static_cast<size_t>(sizes(random));
                std::vector<char> bytes;
                int error = ReadAt(m_dataPath, offset, size, &bytes);
                if (error != 0 || bytes != expected(offset, bytes.size()))
                    wrong = error != 0 ? error : -1;
            }
        });
    }
    // Whole passes in reads of four extents, as the kernel would split them.
    for (int pass = 0; pass < 4; ++pass) {
        for (long long offset = 0; offset < kDeviceSize; offset += 4 * kExtentSize) {
            std::vector<char> bytes;
            EXPECT_EQ(ReadAt(m_dataPath, offset, 4 * kExtentSize, &bytes), 0);
            EXPECT_TRUE(bytes == expected(offset, 4 * kExtentSize)) << "pass " << pass;
        }
    }
    for (std::thread& reader : readers)
        reader.join();
    done = true;
    sampler.join();
    EXPECT_EQ(wrong, 0) << "an errno, or -1 for wrong bytes";

    // Near its limit: at most a batch of recalls above it while eviction catches up.
    EXPECT_LE(most, kLimit + 4 * kExtentSize);
    EXPECT_EQ(m_service.stop(), 0) << tqtest::ReadFile(m_temp / "service.log");
    std::ifstream in(stats);
    nlohmann::json counters = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(counters.is_object());
    EXPECT_EQ(counters["store_limit"], kLimit);
    EXPECT_GT(counters["evictions"].get<long long>(), 4 * kDeviceSize / kExtentSize / 2);
    EXPECT_GT(counters["remisses"].get<long long>(), 0);
    EXPECT_LE(StoreBytes(m_recall->getDir()), kLimit);
    EXPECT_EQ(BitmapOf(m_private), m_written);
}

}  // namespace
}  // namespace roadtest
