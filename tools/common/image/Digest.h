#ifndef TQBLK_TOOLS_IMAGE_DIGEST_H
#define TQBLK_TOOLS_IMAGE_DIGEST_H

// SHA-256 digests of extents and manifests, computed through OpenSSL's EVP interface (which
// picks the CPU's SHA extensions where there are some).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tqimage {

using Digest = std::array<uint8_t, 32>;

Digest sha256(const void* data, size_t size);

// Lower-case hexadecimal, 64 characters.
std::string toHex(const Digest& digest);
// Reads exactly 64 hexadecimal characters (either case); false for anything else.
bool fromHex(const std::string& text, Digest* out);

}  // namespace tqimage

#endif
