// The published-image format: manifests read back what was written and refuse damage;
// chunks decode only to the bytes of their digest.

#include "Chunk.h"
#include "Manifest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace tqimage;

namespace {

Manifest sample() {
    Manifest m;
    m.name = "base-12";
    m.size = 3 * 65536 - 100;  // a partial last extent
    m.extentSize = 65536;
    m.extents.resize(3);
    m.extents[1].zero = false;
    m.extents[1].digest = sha256("x", 1);
    m.extents[1].chunkSize = 17;
    return m;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST(ImageFormat, ManifestReadsBackAndRefusesDamage) {
    const std::string text = sample().serialize();
    Manifest back;
    std::string detail;
    ASSERT_EQ(parseManifest(text, &back, &detail), 0) << detail;
    EXPECT_EQ(back.serialize(), text);

    const std::string body = text.substr(0, text.rfind("sha256 "));
    const struct {
        std::string text;
        int error;
    } cases[] = {
        {replaced(text, "tqblk-image 1", "tqblk-image 2"), EINVAL},
        {replaced(text, "extents 3", "extents 4"), EINVAL},
        {replaced(text, "extent-size 65536", "extent-size 65535"), EINVAL},
        {replaced(text, "name base-12", "name ../x"), EINVAL},
        {replaced(text, " 17\n", " 65537\n"), EINVAL},
        {replaced(text, " 17\n", " 18\n"), EIO},  // a changed line: the digest no longer holds
        {body, EINVAL},                           // the digest line cut off
        {text + "extra\n", EINVAL},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseManifest(c.text, &back, &detail), c.error) << c.text.substr(0, 80);
}

TEST(ImageFormat, ChunksDecodeOnlyToTheirDigest) {
    std::string text(65536, 'a');
    text.replace(1000, 11, "hello world");
    std::string noise(65536, '\0');
    unsigned long long state = 88172645463325252ULL;  // xorshift: incompressible bytes
    for (char& byte : noise) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        byte = static_cast<char>(state >> 32);
    }
    for (const std::string* each : {&text, &noise}) {
        const std::string& extent = *each;
        const Digest digest = sha256(extent.data(), extent.size());
        const std::string chunk = encodeChunk(extent.data(), extent.size(), 3);
        EXPECT_EQ(chunk.size() < extent.size(), each == &text);  // noise is stored raw
        std::string flipped = chunk;
        flipped[flipped.size() / 2] ^= 1;
        const struct {
            std::string chunk;
            int error;
        } cases[] = {{chunk, 0}, {flipped, EIO}, {chunk.substr(1), EIO}, {chunk + "x", EIO}};
        for (const auto& c : cases) {
            std::vector<char> out(extent.size());
            std::string detail;
            EXPECT_EQ(decodeChunk(c.chunk, digest, out.data(), out.size(), &detail), c.error);
            if (c.error != 0) {
                EXPECT_NE(detail.find(toHex(digest)), std::string::npos) << detail;
            } else {
                EXPECT_EQ(std::string(out.begin(), out.end()), extent);
            }
        }
    }
}

TEST(ImageFormat, ManifestLocations) {
    const struct {
        const char* location;
        const char* root;  // null: refused
        const char* name;
    } cases[] = {
        {"s3://bucket/images/manifests/base", "s3://bucket/images", "base"},
        {"/srv/images/manifests/base.v2", "/srv/images", "base.v2"},
        {"manifests/base", ".", "base"},
        {"/manifests/base", "/", "base"},
        {"/srv/images/base", nullptr, ""},
        {"/srv/mymanifests/base", nullptr, ""},
        {"/srv/manifests/.hidden", nullptr, ""},
    };
    for (const auto& c : cases) {
        std::string root, name;
        EXPECT_EQ(splitManifestLocation(c.location, &root, &name), c.root != nullptr) << c.location;
        if (c.root != nullptr) {
            EXPECT_EQ(root + " " + name, std::string(c.root) + " " + c.name);
        }
    }
}
