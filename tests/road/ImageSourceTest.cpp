// A device recalled from a published image (tqblk-recalld --source manifest+...): its bytes
// read right, a damaged chunk fails only its extent's reads and places nothing, and services
// sharing a chunk cache hard-link one file into each of their stores.

#include "RoadFixture.h"

#include "../tools/PublishImage.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace roadtest {
namespace {

constexpr int kExtentSize = 64 * 1024;
constexpr long long kDeviceSize = 16LL * kExtentSize - 8192;  // a short last extent

class ImageSourceTest : public RoadTest {
  protected:
    void TearDown() override {
        m_service.stop();
        RoadTest::TearDown();
    }

    tqharness::ChildProcess m_service;
};

struct stat StatOf(TqBlkBackingStore* store, long long extent) {
    std::string path;
    EXPECT_OK(store->getExtentFileName(extent, &path));
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

TEST_F(ImageSourceTest, ADeviceReadsItsImageAndNoUncheckedByteReachesTheStore) {
    const std::string root = m_temp / "root";
    const std::string manifest =
        tqtest::PublishImage(root, "base", Pattern(0, kDeviceSize), kExtentSize);
    const std::string cache = m_temp / "cache";
    const long long extents = (kDeviceSize + kExtentSize - 1) / kExtentSize;
    struct Case {
        const char* uuid;
        long long damaged;  // the extent whose chunk has a byte flipped, or -1
        bool cache;
    } const cases[] = {{"plain", -1, false},
                       {"cached-a", -1, true},
                       {"cached-b", -1, true},
                       {"damaged", 2, false}};
    std::vector<TqBlkBackingStore*> cached;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uuid);
        makeDevice(c.uuid, kDeviceSize, kExtentSize, kExtentSize);
        std::string hex;
        if (c.damaged >= 0) {
            const std::vector<char> bytes = Pattern(c.damaged * kExtentSize, kExtentSize);
            hex = tqimage::toHex(tqimage::sha256(bytes.data(), bytes.size()));
            const std::string chunk = root + "/chunks/" + hex.substr(0, 2) + "/" + hex;
            std::string text = tqtest::ReadFile(chunk);
            text[100] ^= 1;
            ::chmod(chunk.c_str(), 0644);
            tqtest::WriteFile(chunk, text);
        }
        std::vector<std::string> args = {TQBLK_RECALLD_PATH,    "--uuid",           m_uuid,
                                         "--recall-store",      m_recall->getDir(), "--source",
                                         "manifest+" + manifest};
        if (c.cache)
            args.insert(args.end(), {"--chunk-cache", cache});
        const std::string log = m_temp / (std::string(c.uuid) + ".log");
        ASSERT_EQ(m_service.start(args, log), "");
        for (long long extent = 0; extent < extents; ++extent) {
            const long long offset = extent * kExtentSize;
            AsyncRead& read = startRead(offset, static_cast<size_t>(std::min<long long>(
                                                    kExtentSize, kDeviceSize - offset)));
            if (extent == c.damaged)
                EXPECT_EQ(finish(read).first, EIO);
            else
                expectPattern(read);
        }
        EXPECT_EQ(m_service.stop(), 0);
        if (c.damaged >= 0) {
            EXPECT_EQ(BitmapOf(m_recall).count(c.damaged), 0u);
            EXPECT_NE(tqtest::ReadFile(log).find("chunk " + hex), std::string::npos)
                << tqtest::ReadFile(log);
        }
        if (c.cache)
            cached.push_back(m_recall);
        m_reads.clear();
    }
    // Each whole extent that is not zeros is one file: the cache's and both stores'.
    ASSERT_EQ(cached.size(), 2u);
    for (long long extent = 0; extent + 1 < extents; ++extent) {
        if (extent % 8 == 7)
            continue;  // zeros: sparse extents of their own, never cached
        const struct stat a = StatOf(cached[0], extent), b = StatOf(cached[1], extent);
        EXPECT_EQ(a.st_ino, b.st_ino) << extent;
        EXPECT_EQ(a.st_nlink, 3u) << extent;
    }
}

TEST_F(ImageSourceTest, AManifestThatCannotServeTheDeviceStopsTheServiceAtStart) {
    const std::string root = m_temp / "root";
    const std::string manifest = tqtest::PublishImage(root, "base", Pattern(0, 8192), 4096);
    std::string text = tqtest::ReadFile(manifest);
    const size_t line = text.find('\n', text.find("\nextents ") + 1) + 1;  // first extent's
    text[line] = text[line] == '0' ? '1' : '0';
    tqtest::WriteFile(root + "/manifests/damaged", text);
    makeDevice("refused", kDeviceSize, kExtentSize, kExtentSize);
    const std::pair<std::string, std::string> cases[] = {
        {"manifest+ftp://host/manifests/base", "unknown scheme \"ftp\""},
        {"manifest+" + root + "/manifests/damaged", "does not match its digest"},
        {"manifest+" + manifest, "extents of 4096 bytes, the recall store"},
        {"manifest+" + root + "/base", "names no manifest"}};
    for (const auto& c : cases) {
        const std::string log = m_temp / "refused.log";
        ::unlink(log.c_str());
        ASSERT_EQ(m_service.start({TQBLK_RECALLD_PATH, "--uuid", m_uuid, "--recall-store",
                                   m_recall->getDir(), "--source", c.first},
                                  log),
                  "");
        const int status = m_service.waitExit(std::chrono::seconds(10));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.first;
        EXPECT_NE(tqtest::ReadFile(log).find(c.second), std::string::npos) << tqtest::ReadFile(log);
    }
}

}  // namespace
}  // namespace roadtest
