// tqblk-ctl check-store as a script sees it: its lines, its JSON and its exit codes.
#include "PublishImage.h"
#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <memory>

using tqtest::WriteFile;

namespace {

using CtlRun = tqtest::CommandRun;

// Runs tqblk-ctl with args (already quoted for the shell); stderr is dropped.
CtlRun ctl(const std::string& args) {
    return tqtest::RunCommand(std::string(TQBLK_CTL_PATH) + " " + args + " 2>/dev/null");
}

class CheckStoreCli : public ::testing::Test {
  protected:
    void SetUp() override {
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store(
            TqBlkRecallStore::create(dir().c_str(), "u", 200 * 4096, 4096, &err));
        ASSERT_TRUE(store) << err.GetDescription();
        ASSERT_OK(store->createExtentWithNUL(31));
        ASSERT_OK(TqBlkBackingStore::mkdir(dir() + "/tmp"));
    }
    std::string dir() const { return tmp / "store"; }

    tqtest::TempDir tmp;
};

TEST_F(CheckStoreCli, CleanStorePrintsOnlyTheSummaryAndExitsZero) {
    CtlRun run = ctl("check-store " + dir());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, dir() + ": 1 extents present of 200, 0 problems, 0 repaired\n");
}

TEST_F(CheckStoreCli, FindingsPrintOneLineEachAndExitCodesFollowFsck) {
    WriteFile(dir() + "/data/00/1f", "");
    WriteFile(dir() + "/tmp/temp0001", "x");
    CtlRun run = ctl("check-store --temp-age 0 " + dir());
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out,
              "temp-file tmp/temp0001: leftover temporary regular file\n"
              "wrong-size data/00/1f: 0 bytes, expected 4096\n" +
                  dir() + ": 0 extents present of 200, 2 problems, 0 repaired\n");

    run = ctl("check-store " + dir() + " --repair --prune-damaged --temp-age 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("wrong-size data/00/1f: 0 bytes, expected 4096 (repaired)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ctl("check-store " + dir()).status, 0);
}

TEST_F(CheckStoreCli, JsonIsOneDocumentThatParsesBack) {
    WriteFile(dir() + "/junk", "");
    CtlRun run = ctl("check-store --json " + dir());
    EXPECT_EQ(run.status, 4);
    nlohmann::json doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["store"], dir());
    EXPECT_EQ(doc["extent_count"], 200);
    EXPECT_EQ(doc["extents_present"], 1);
    EXPECT_EQ(doc["problems"], 1);
    EXPECT_EQ(doc["repaired"], 0);
    EXPECT_EQ(doc["exit_code"], 4);
    EXPECT_EQ(doc["locked_by_other"], false);
    ASSERT_EQ(doc["findings"].size(), 1u);
    EXPECT_EQ(doc["findings"][0]["kind"], "unknown-entry");
    EXPECT_EQ(doc["findings"][0]["path"], "junk");
    EXPECT_EQ(doc["findings"][0]["problem"], true);

    // A name that is not UTF-8 still gives valid JSON.
    WriteFile(dir() + "/bad\xff", "");
    run = ctl("check-store --json " + dir());
    EXPECT_EQ(nlohmann::json::parse(run.out)["problems"], 2);
}

TEST_F(CheckStoreCli, CheckThatCannotRunExitsEightAndBadUsageTwo) {
    CtlRun run = ctl("check-store --json " + tmp / "none");
    EXPECT_EQ(run.status, 8);
    nlohmann::json doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["exit_code"], 8);
    EXPECT_EQ(doc["error"]["errno"], ENOENT);
    EXPECT_EQ(doc["error"]["messages"][0], "Couldn't open backing store directory " + tmp / "none");
    EXPECT_EQ(ctl("check-store " + tmp / "none").status, 8);
    EXPECT_EQ(ctl("check-store").status, 2);
    EXPECT_EQ(ctl("check-store " + dir() + " --bogus").status, 2);
}

TEST_F(CheckStoreCli, VerifyAgainstAnImageReportsTheChangedByte) {
    std::string image(32 * 4096, '\0');
    WriteFile(tmp / "image", image);
    EXPECT_EQ(ctl("check-store " + dir() + " --verify-against " + tmp / "image").status, 0);
    image[31 * 4096 + 9] = 1;
    WriteFile(tmp / "image", image);
    CtlRun run = ctl("check-store " + dir() + " --verify-against " + tmp / "image");
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.out.find("mismatch data/00/1f: differs from " + tmp / "image" +
                           " at device offset 126985\n"),
              std::string::npos)
        << run.out;
}

// A store checked against a published image: each present extent must hash to its digest.
TEST_F(CheckStoreCli, VerifyAgainstAManifestNamesTheExtentAndItsDigest) {
    std::vector<char> image(200 * 4096, '\0');
    for (size_t i = 0; i < 3 * 4096; ++i)
        image[i] = static_cast<char>(i * 7 + 1);
    const std::string manifest = tqtest::PublishImage(tmp / "root", "img", image, 4096);
    const std::string coarse = tqtest::PublishImage(tmp / "root", "coarse", image, 8192);
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir().c_str(), &err));
    ASSERT_TRUE(store) << err.GetDescription();
    for (long long extent = 0; extent < 3; ++extent) {
        std::string temp;
        int fd = -1;
        ASSERT_OK(store->openTempFile(&temp, &fd));
        ASSERT_EQ(::write(fd, &image[extent * 4096], 4096), 4096);
        ::close(fd);
        ASSERT_OK(store->moveInExtentFile(temp.c_str(), extent));
    }
    const std::string path = dir() + "/data/00/01";
    std::string bytes = tqtest::ReadFile(path);
    const std::string digest = tqimage::toHex(tqimage::sha256(bytes.data(), bytes.size()));
    bytes[9] ^= 1;
    const std::string found = tqimage::toHex(tqimage::sha256(bytes.data(), bytes.size()));
    struct Run {
        bool flipped;
        std::string manifest;
        int status;
        std::string line;  // a line of the output
    } const runs[] = {
        {false, manifest, 0, dir() + ": 4 extents checked against the manifest img\n"},
        {true, manifest, 4,
         "mismatch data/00/01: extent 1: digest " + found + ", the manifest's " + digest + "\n"},
        {true, coarse, 8, ""},
        {true, "file://" + manifest, 4, dir() + ": 4 extents present of 200, 1 problems"},
    };
    for (const Run& r : runs) {
        if (r.flipped)
            WriteFile(path, bytes);
        CtlRun run = ctl("check-store " + dir() + " --verify-against " + r.manifest);
        EXPECT_EQ(run.status, r.status) << r.manifest;
        EXPECT_NE(run.out.find(r.line), std::string::npos) << run.out;
    }
    nlohmann::json doc = nlohmann::json::parse(
        ctl("check-store --json " + dir() + " --verify-against " + manifest).out);
    EXPECT_EQ(doc["manifest"]["extents_checked"], 4);
    EXPECT_EQ(doc["findings"][0]["kind"], "mismatch");
}

// Exit codes of runs that must not report damage: a short last extent, a refused prune of a
// store that may be private, and the checker's own want of descriptors.
TEST_F(CheckStoreCli, SoundOrRefusedRunsReportNoDamage) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> cut(
        TqBlkRecallStore::create((tmp / "cut").c_str(), "u", 100000, 65536, &err));
    ASSERT_TRUE(cut) << err.GetDescription();
    ASSERT_OK(TqBlkBackingStore::mkdir(tmp / "cut/data"));
    WriteFile(tmp / "cut/data/01", std::string(34464, 'x'));
    WriteFile(tmp / "image", std::string(65536, '\0') + std::string(34464, 'x'));
    const std::string verify = " --verify-against " + tmp / "image";
    const std::pair<std::string, int> cases[] = {
        {"check-store --kind recall --prune-damaged " + tmp / "cut" + verify, 0},
        {"check-store --prune-damaged " + dir() + verify, 8},
        {"check-store --kind private --prune-damaged " + dir(), 8},
        {"check-store --kind private " + dir() + verify, 0},
        {"check-store --allow-private-prune --prune-damaged " + dir() + verify, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ctl(c.first).status, c.second) << c.first;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they need descriptors
    // Descriptors the test inherited are closed first: the limit is the checker's alone.
    CtlRun run = tqtest::RunCommand(
        "bash -c 'for f in $(ls /proc/$$/fd); do [ $f -gt 2 ] && eval \"exec $f>&-\"; done; "
        "ulimit -n 4; exec " +
        std::string(TQBLK_CTL_PATH) + " check-store " + dir() + "' 2>&1");
    EXPECT_EQ(run.status, 8) << run.out;
    EXPECT_NE(run.out.find("Too many open files"), std::string::npos) << run.out;
#endif
}

}  // namespace
