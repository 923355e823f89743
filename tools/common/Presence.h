#ifndef TQBLK_TOOLS_PRESENCE_H
#define TQBLK_TOOLS_PRESENCE_H

// The extents present in a store, counted from its bitmap, as both tools report them.

#include <tqblk/TqBlkBackingStore.h>

#include <vector>

namespace tqtools {

// The extents present in a store: in all, and per chunk.
struct Presence {
    long long present = 0;
    long long total = 0;
    int perChunk = 0;
    std::vector<long long> chunks;
};

// Counts the extents present in store; on failure *out stays empty (nothing present).
inline CZyError countPresent(TqBlkBackingStore& store, Presence* out) {
    *out = Presence();
    std::vector<std::vector<unsigned char> > chunks;
    CZyError err = store.getExtentBitmap(&chunks, &out->perChunk);
    if (err.IsError())
        return err;
    out->total = store.m_extentCount;
    for (const std::vector<unsigned char>& chunk : chunks) {
        long long n = 0;
        for (unsigned char byte : chunk)
            n += __builtin_popcount(byte);
        out->chunks.push_back(n);
        out->present += n;
    }
    return err;
}

}  // namespace tqtools

#endif
