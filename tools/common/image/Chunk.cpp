#include "Chunk.h"

#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace tqimage {

std::string chunkKey(const Digest& digest) {
    const std::string hex = toHex(digest);
    return "chunks/" + hex.substr(0, 2) + "/" + hex;
}

bool allZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // Each byte equals the next and the first is zero; memcmp stops at the first difference.
    if (size == 0)
        return true;
    return bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0;
}

namespace {

// The calling thread's zstd context of one kind, made at its first use and kept: making one
// per extent would cost more than a small extent's compression.
template <typename Context, Context* (*make)(), size_t (*release)(Context*)>
Context* threadContext() {
    thread_local struct Holder {
        Context* context = make();
        ~Holder() { release(context); }
    } holder;
    if (holder.context == nullptr)
        throw std::bad_alloc();
    return holder.context;
}

}  // namespace

std::string encodeChunk(const void* data, size_t size, int level) {
    std::string out(ZSTD_compressBound(size), '\0');
    ZSTD_CCtx* context = threadContext<ZSTD_CCtx, ZSTD_createCCtx, ZSTD_freeCCtx>();
    size_t n = ZSTD_compressCCtx(context, out.data(), out.size(), data, size, level);
    if (ZSTD_isError(n) || n >= size)
        return std::string(static_cast<const char*>(data), size);
    out.resize(n);
    return out;
}

int decodeChunk(const std::string& chunk, const Digest& digest, void* out, size_t size,
                std::string* detail) {
    if (chunk.size() > size) {
        *detail = "chunk " + toHex(digest) + " is longer than its extent (" +
                  std::to_string(chunk.size()) + " bytes)";
        return EIO;
    }
    if (chunk.size() == size) {
        std::memcpy(out, chunk.data(), size);
    } else {
        ZSTD_DCtx* context = threadContext<ZSTD_DCtx, ZSTD_createDCtx, ZSTD_freeDCtx>();
        // The frame's declared size is not trusted: decompression stops at size bytes.
        size_t n = ZSTD_decompressDCtx(context, out, size, chunk.data(), chunk.size());
        if (ZSTD_isError(n) || n != size) {
            *detail =
                "chunk " + toHex(digest) + " does not decompress to its extent: " +
                (ZSTD_isError(n) ? ZSTD_getErrorName(n)
                                 : std::to_string(n) + " of " + std::to_string(size) + " bytes");
            return EIO;
        }
    }
    if (sha256(out, size) != digest) {
        *detail = "chunk " + toHex(digest) + " does not match its digest";
        return EIO;
    }
    return 0;
}

}  // namespace tqimage
