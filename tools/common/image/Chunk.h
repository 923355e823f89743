#ifndef TQBLK_TOOLS_IMAGE_CHUNK_H
#define TQBLK_TOOLS_IMAGE_CHUNK_H

// A chunk is the stored form of one extent's bytes, named by the SHA-256 of those bytes
// (uncompressed): a zstd frame when that is smaller than the extent, else the bytes as they
// are. Which of the two a chunk is follows from its length alone: a chunk as long as the
// extent is raw, a shorter one compressed. Every extent of an image is a full extent: the
// image's last, partial extent is taken with zeros after the image's end, as a device
// reads it.

#include "Digest.h"

#include <cstddef>
#include <string>

namespace tqimage {

// The key of a chunk below an image root: "chunks/ab/abcdef..." (the digest in hex, under
// a directory of its first two characters, so that no directory grows past a few thousand
// entries in a local root).
std::string chunkKey(const Digest& digest);

// Whether all size bytes are zero: such an extent has no chunk.
bool allZero(const void* data, size_t size);

// The stored form of size bytes: zstd at level when smaller, else the bytes.
std::string encodeChunk(const void* data, size_t size, int level);

// Recovers an extent of size bytes into out from a chunk and checks it against digest
// before returning. Returns 0; EIO with *detail naming the digest when the chunk is no
// valid frame, decodes to another length, or decodes to bytes of another digest.
int decodeChunk(const std::string& chunk, const Digest& digest, void* out, size_t size,
                std::string* detail);

}  // namespace tqimage

#endif
