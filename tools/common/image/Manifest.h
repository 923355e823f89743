#ifndef TQBLK_TOOLS_IMAGE_MANIFEST_H
#define TQBLK_TOOLS_IMAGE_MANIFEST_H

// The manifest of a published image: its geometry and, per extent, the digest and stored
// length of its chunk, or that the extent is all zeros. A text file, so that an operator
// can read and compare it:
//
//   tqblk-image 1
//   name debian-12-base
//   size 1073741824
//   extent-size 1048576
//   extents 1024
//   5f0c...e1 381204          (one line per extent: digest and chunk length, or "zero")
//   zero
//   ...
//   sha256 9a3d...07          (of every byte above this line)
//
// An image root holds "manifests/NAME" and the chunks of all its images ("chunks/..."),
// shared by every manifest there. A manifest never changes once written.

#include "Digest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tqimage {

struct ManifestExtent {
    bool zero = true;        // all zeros: no chunk
    Digest digest{};         // of the extent's bytes, when not zero
    uint32_t chunkSize = 0;  // bytes of its chunk as stored (== extent size: raw)
};

struct Manifest {
    std::string name;
    long long size = 0;                   // of the image in bytes
    long long extentSize = 0;             // a power of two from 4 KiB to 1 GiB
    std::vector<ManifestExtent> extents;  // ceil(size / extentSize) of them

    // The manifest's text, its own digest line included.
    std::string serialize() const;
};

// Reads and checks a manifest's text: the format and version, the geometry, one line per
// extent, and the closing digest of the text above it. Returns 0, or EINVAL (not a
// manifest, another version, bad geometry or line) or EIO (the digest does not match: a
// damaged or truncated manifest) with *detail.
int parseManifest(const std::string& text, Manifest* out, std::string* detail);

// The manifest's own digest in hex, from the closing line of a text parseManifest accepted.
std::string manifestDigest(const std::string& text);

// Whether name may name a manifest: 1 to 128 of [A-Za-z0-9._-], not starting with '.'.
bool validImageName(const std::string& name);

// "manifests/NAME".
std::string manifestKey(const std::string& name);

// Splits the location of a manifest, ".../manifests/NAME", into the image root before it
// and the name; false when location does not end that way.
bool splitManifestLocation(const std::string& location, std::string* root, std::string* name);

// Where an image or a store could be meant (tqblk-recalld's --source, tqblk-ctl's
// --verify-against), "manifest+LOCATION" names a published image's manifest at LOCATION.
bool hasManifestPrefix(const std::string& location);
// location without that prefix, as given when it has none.
std::string withoutManifestPrefix(const std::string& location);

}  // namespace tqimage

#endif
