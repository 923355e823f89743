// tqblk-image against a local image root: what push uploads (zero extents none, a repeated
// extent once, chunks already there never again, so a rerun resumes), that a manifest never
// changes, and verify finding damaged and missing chunks.
#include "TestSupport.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <random>

using tqtest::ReadFile;
using tqtest::WriteFile;

namespace {

constexpr size_t kExtent = 4096;

struct ToolRun {
    int status;
    std::string out, err;
};

class ImageTool : public ::testing::Test {
  protected:
    ToolRun tool(const std::string& args) {
        const std::string errPath = tmp / "stderr";
        tqtest::CommandRun r =
            tqtest::RunCommand(std::string(TQBLK_IMAGE_PATH) + " " + args + " 2>" + errPath);
        return ToolRun{r.status, r.out, ReadFile(errPath)};
    }

    // An image of extents named by letters: '0' all zeros, any other letter random bytes of
    // its own (the same letter, the same bytes); tail bytes of the last letter follow.
    std::string image(const std::string& name, const std::string& letters, size_t tail = 0) {
        std::string bytes;
        for (char letter : letters) {
            std::string extent(kExtent, '\0');
            std::mt19937 random(static_cast<unsigned>(letter));
            for (size_t i = 0; letter != '0' && i < kExtent; ++i)
                extent[i] = static_cast<char>(random() % 7);  // compressible
            bytes += extent;
        }
        bytes += bytes.substr(bytes.size() - kExtent, tail);
        const std::string path = tmp / name;
        WriteFile(path, bytes);
        return path;
    }

    nlohmann::json push(const std::string& path, const std::string& name, int status = 0,
                        const std::string& options = "") {
        ToolRun r = tool("push --json --extent-size 4K " + options + "--name " + name + " " + path +
                         " " + root());
        EXPECT_EQ(r.status, status) << r.err;
        return status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json{{"err", r.err}};
    }

    std::string root() { return tmp / "root"; }

    std::vector<std::string> chunkFiles() {
        std::vector<std::string> files;
        for (const std::string& dir : tqtest::ListDir(root() + "/chunks"))
            for (const std::string& file : tqtest::ListDir(root() + "/chunks/" + dir))
                files.push_back(root() + "/chunks/" + dir + "/" + file);
        return files;
    }

    tqtest::TempDir tmp;
};

TEST_F(ImageTool, PushUploadsEachNewChunkOnceAndManifestsNeverChange) {
    // base: a zero extent, a repeated one, a partial tail of its own bytes.
    const std::string base = image("base", "A0BBC", 100);
    struct Step {
        const char* what;
        std::string image, name;
        long long uploaded, present;
        bool already;
        int removeChunks;  // chunk files removed before the step
    };
    const Step steps[] = {
        {"first push", base, "base", 4, 0, false, 0},
        {"the same again", base, "base", 0, 0, true, 0},
        {"another image sharing most", image("next", "A0DBC", 100), "next", 1, 4, false, 0},
        {"a rerun after chunks went missing", base, "copy", 1, 3, false, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.removeChunks > 0) {
            ASSERT_EQ(::unlink(chunkFiles().front().c_str()), 0);
        }
        nlohmann::json summary = push(step.image, step.name);
        EXPECT_EQ(summary["chunks_uploaded"], step.uploaded);
        EXPECT_EQ(summary["already_published"], step.already);
        if (!step.already) {
            EXPECT_EQ(summary["chunks_present"], step.present);
            EXPECT_EQ(summary["zero_extents"], 1);
            EXPECT_EQ(summary["extents"], 6);
        }
    }
    EXPECT_EQ(chunkFiles().size(), 5u);

    // The manifest of a published name stays what it is.
    const std::string before = ReadFile(root() + "/manifests/base");
    nlohmann::json refused = push(tmp / "next", "base", 1);
    EXPECT_NE(refused["err"].get<std::string>().find("refused"), std::string::npos);
    EXPECT_EQ(ReadFile(root() + "/manifests/base"), before);

    ToolRun info = tool("info --json " + root() + "/manifests/base");
    ASSERT_EQ(info.status, 0) << info.err;
    nlohmann::json shown = nlohmann::json::parse(info.out);
    EXPECT_EQ(shown["size"], 5 * kExtent + 100);
    EXPECT_EQ(shown["chunks"], 4);
    EXPECT_EQ(shown["zero_extents"], 1);
}

TEST_F(ImageTool, VerifyNamesEachDamagedOrMissingChunk) {
    push(image("img", "AB0C"), "img");
    ToolRun clean = tool("verify " + root() + "/manifests/img");
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    std::vector<std::string> chunks = chunkFiles();
    ASSERT_EQ(chunks.size(), 3u);
    // One chunk with a byte flipped (a compressed one: its frame or digest fails), one gone.
    std::string bytes = ReadFile(chunks[0]);
    bytes[bytes.size() / 2] ^= 1;
    ::chmod(chunks[0].c_str(), 0644);
    WriteFile(chunks[0], bytes);
    ASSERT_EQ(::unlink(chunks[1].c_str()), 0);
    auto hexOf = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    ToolRun damaged = tool("verify --jobs 2 " + root() + "/manifests/img");
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.out.find("bad chunk " + hexOf(chunks[0])), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.out.find("missing chunk " + hexOf(chunks[1])), std::string::npos)
        << damaged.out;
    EXPECT_NE(damaged.out.find("3 chunks checked, 1 bad, 1 missing"), std::string::npos);
    ToolRun json = tool("verify --json " + root() + "/manifests/img");
    nlohmann::json shown = nlohmann::json::parse(json.out);
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(shown["bad"][0]["digest"], hexOf(chunks[0]));
    EXPECT_EQ(shown["missing"], nlohmann::json::array({hexOf(chunks[1])}));

    // A push of the same image with --repair mends both under the published manifest.
    nlohmann::json mended = push(tmp / "img", "img", 0, "--repair ");
    EXPECT_EQ(mended["already_published"], true);
    EXPECT_EQ(mended["chunks_repaired"], 2);
    EXPECT_EQ(mended["chunks_present"], 1);
    EXPECT_EQ(tool("verify " + root() + "/manifests/img").status, 0);
}

}  // namespace
