#ifndef TQBLK_TOOLS_PRESENCE_H
#define TQBLK_TOOLS_PRESENCE_H

// The extents present in a store, counted from its bitmap, as both tools report them.

#include "ExtentRanges.h"

#include <tqblk/TqBlkBackingStore.h>

#include <vector>

namespace tqtools {

// The extents present in a store, of its extent count.
struct Presence {
    long long present = 0;
    long long total = 0;
};

// Counts the extents present in store; on failure *out stays empty (nothing present).
inline CZyError countPresent(TqBlkBackingStore& store, Presence* out) {
    *out = Presence();
    ExtentBitmap chunks;
    int perChunk = 0;
    CZyError err = store.getPresentChunks(&chunks, &perChunk);
    if (err.IsError())
        return err;
    out->total = store.m_extentCount;
    forEachPresentRange(chunks, perChunk, out->total, [out](long long first, long long last) {
        out->present += last - first + 1;
    });
    return err;
}

}  // namespace tqtools

#endif
