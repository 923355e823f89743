#ifndef TQBLK_TESTS_TOOLS_PUBLISHIMAGE_H
#define TQBLK_TESTS_TOOLS_PUBLISHIMAGE_H

// Publishes an image to a local image root with the image format's own calls: its chunks,
// then its manifest. Returns the manifest's location (ROOT/manifests/NAME).

#include "Chunk.h"
#include "Manifest.h"
#include "Objects.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace tqtest {

inline std::string PublishImage(const std::string& root, const std::string& name,
                                const std::vector<char>& image, long long extentSize) {
    std::unique_ptr<tqimage::Objects> objects = tqimage::openLocalObjects(root);
    tqimage::Manifest manifest;
    manifest.name = name;
    manifest.size = static_cast<long long>(image.size());
    manifest.extentSize = extentSize;
    std::string detail;
    for (size_t at = 0; at < image.size(); at += static_cast<size_t>(extentSize)) {
        std::vector<char> bytes(static_cast<size_t>(extentSize), 0);
        std::copy(image.begin() + static_cast<long>(at),
                  image.begin() + static_cast<long>(std::min(image.size(), at + bytes.size())),
                  bytes.begin());
        tqimage::ManifestExtent extent;
        extent.zero = tqimage::allZero(bytes.data(), bytes.size());
        if (!extent.zero) {
            extent.digest = tqimage::sha256(bytes.data(), bytes.size());
            const std::string chunk = tqimage::encodeChunk(bytes.data(), bytes.size(), 3);
            extent.chunkSize = static_cast<uint32_t>(chunk.size());
            if (objects->put(tqimage::chunkKey(extent.digest), chunk, &detail) != 0)
                throw std::runtime_error(detail);
        }
        manifest.extents.push_back(extent);
    }
    if (objects->put(tqimage::manifestKey(name), manifest.serialize(), &detail) != 0)
        throw std::runtime_error(detail);
    return root + "/" + tqimage::manifestKey(name);
}

}  // namespace tqtest

#endif
