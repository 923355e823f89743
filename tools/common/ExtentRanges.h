#ifndef TQBLK_TOOLS_EXTENTRANGES_H
#define TQBLK_TOOLS_EXTENTRANGES_H

// The extents present in a store as runs of consecutive numbers, walked from the chunks of
// its bitmap that hold extents (TqBlkBackingStore::getPresentChunks). The walk skips zero
// bytes, so its cost and what it yields grow with the extents present, not with the
// store's extent count.

#include <algorithm>
#include <utility>
#include <vector>

namespace tqtools {

// Pairs of a chunk's index and its bits, in ascending order of index.
using ExtentBitmap = std::vector<std::pair<long long, std::vector<unsigned char> > >;

// Calls onRange(first, last) for each run of present extents below limit, in ascending
// order; first and last are both present. perChunk is the count of extents per chunk.
template <class OnRange>
void forEachPresentRange(const ExtentBitmap& chunks, int perChunk, long long limit,
                         OnRange onRange) {
    long long first = -1, next = -1;  // the open run: [first, next)
    for (const auto& chunk : chunks) {
        const std::vector<unsigned char>& bits = chunk.second;
        const long long base = chunk.first * perChunk;
        if (base >= limit)
            break;
        const size_t bytes = static_cast<size_t>(std::min(
            {static_cast<long long>(bits.size()), perChunk / 8LL, (limit - base + 7) / 8}));
        for (size_t i = 0; i < bytes; ++i) {
            if (bits[i] == 0)
                continue;
            for (int b = 0; b < 8; ++b) {
                if (!(bits[i] >> b & 1))
                    continue;
                const long long extent = base + static_cast<long long>(i) * 8 + b;
                if (extent >= limit)
                    break;  // only in the last byte below limit
                if (extent != next) {
                    if (first >= 0)
                        onRange(first, next - 1);
                    first = extent;
                }
                next = extent + 1;
            }
        }
    }
    if (first >= 0)
        onRange(first, next - 1);
}

}  // namespace tqtools

#endif
