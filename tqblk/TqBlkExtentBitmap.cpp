// The extent bitmap: one bit per extent whose file is present, found by walking the data tree.

#include "StoreInternal.h"
#include "StoreTreeWalk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <thread>

namespace {

constexpr int kBitsPerChunk = 32768;

// Walks a store's data tree and sets the bit of every file named like an extent of the store.
// Only canonical names below the extent count are extents: "data/f0" or a name past the last
// extent of a store is no extent of it, whatever its number parses to.
class TqBlkBackingStoreScanner : public tqblk::store::StoreTreeWalk {
  public:
    TqBlkBackingStoreScanner(const std::string& dir, long long extentCount,
                             std::vector<std::vector<unsigned char> >* bitmap, int bitsPerChunk)
        : StoreTreeWalk(dir, extentCount, 0),
          m_bitmap(bitmap),
          m_bitsPerChunk(bitsPerChunk),
          m_chunkStates(new std::atomic<unsigned char>[bitmap->size()]()) {}

    CZyError OnTreeEntry(const tqblk::store::TreeEntry& entry) override {
        if (entry.kind != tqblk::store::TreeEntryKind::kExtent || !entry.reportedAsFile)
            return CZyError::Success();
        const unsigned long long chunk =
            static_cast<unsigned long long>(entry.extent) / m_bitsPerChunk;
        const unsigned position = static_cast<unsigned>(entry.extent % m_bitsPerChunk);
        if (chunk >= m_bitmap->size())
            return CZyError::Success();
        // Threads walking other folders may set bits of the same byte.
        __atomic_fetch_or(chunkBits(static_cast<size_t>(chunk)) + position / 8,
                          static_cast<unsigned char>(1u << (position % 8)), __ATOMIC_RELAXED);
        return CZyError::Success();
    }

  private:
    enum : unsigned char { kChunkEmpty, kChunkMaking, kChunkReady };

    // A chunk's bits, given storage (zero-filled) by whichever thread needs them first.
    unsigned char* chunkBits(size_t chunk) {
        std::atomic<unsigned char>& state = m_chunkStates[chunk];
        for (;;) {
            unsigned char seen = state.load(std::memory_order_acquire);
            if (seen == kChunkReady)
                return (*m_bitmap)[chunk].data();
            if (seen == kChunkEmpty &&
                state.compare_exchange_strong(seen, kChunkMaking, std::memory_order_acquire)) {
                try {
                    (*m_bitmap)[chunk].resize(static_cast<size_t>(m_bitsPerChunk / 8), 0);
                } catch (...) {
                    state.store(kChunkEmpty, std::memory_order_release);
                    throw;
                }
                state.store(kChunkReady, std::memory_order_release);
                return (*m_bitmap)[chunk].data();
            }
            std::this_thread::yield();  // another thread is making it
        }
    }

    std::vector<std::vector<unsigned char> >* m_bitmap;
    int m_bitsPerChunk;
    std::unique_ptr<std::atomic<unsigned char>[]> m_chunkStates;  // one per chunk
};

}  // namespace

CZyError TqBlkBackingStore::getExtentBitmap(std::vector<std::vector<unsigned char> >* bitmap,
                                            int* count) {
    *count = kBitsPerChunk;
    const long long chunks = (m_extentCount + kBitsPerChunk - 1) / kBitsPerChunk;
    if (chunks > INT_MAX)
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, EINVAL, "Extent count %lld is too large for a bitmap", m_extentCount);
    CZyError err;
    try {
        bitmap->clear();
        bitmap->resize(static_cast<size_t>(chunks));
        TqBlkBackingStoreScanner scanner(m_dir, m_extentCount, bitmap, kBitsPerChunk);
        err = scanner.Traverse();
    } catch (const std::bad_alloc&) {
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, ENOMEM,
                                       "Couldn't allocate the extent bitmap");
    }
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't scan backing store's directory %s", m_dir.c_str());
    return CZyError::Success();
}
