// The extent bitmap: one bit per extent whose file is present, found by walking the data tree.

#include "StoreInternal.h"
#include "StoreTreeWalk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr int kBitsPerChunk = 32768;

// Walks a store's data tree and sets the bit of every file named like an extent of the store.
// Only canonical names below the extent count are extents: "data/f0" or a name past the last
// extent of a store is no extent of it, whatever its number parses to. Where the bits of a
// chunk live is the subclass's to say (chunkBits).
class TqBlkBackingStoreScanner : public tqblk::store::StoreTreeWalk {
  public:
    TqBlkBackingStoreScanner(const std::string& dir, long long extentCount)
        : StoreTreeWalk(dir, extentCount, 0) {}

    CZyError OnTreeEntry(const tqblk::store::TreeEntry& entry) override {
        if (entry.kind != tqblk::store::TreeEntryKind::kExtent || !entry.reportedAsFile)
            return CZyError::Success();
        const long long chunk = entry.extent / kBitsPerChunk;
        const unsigned position = static_cast<unsigned>(entry.extent % kBitsPerChunk);
        // Threads walking other folders may set bits of the same byte.
        __atomic_fetch_or(chunkBits(chunk) + position / 8,
                          static_cast<unsigned char>(1u << (position % 8)), __ATOMIC_RELAXED);
        return CZyError::Success();
    }

  protected:
    // The zero-filled storage of a chunk's bits; called from several threads at once.
    virtual unsigned char* chunkBits(long long chunk) = 0;
};

// Every chunk has a place in a vector, given storage by whichever thread needs it first.
class DenseScanner : public TqBlkBackingStoreScanner {
  public:
    DenseScanner(const std::string& dir, long long extentCount,
                 std::vector<std::vector<unsigned char> >* bitmap)
        : TqBlkBackingStoreScanner(dir, extentCount),
          m_bitmap(bitmap),
          m_chunkStates(new std::atomic<unsigned char>[bitmap->size()]()) {}

  private:
    enum : unsigned char { kChunkEmpty, kChunkMaking, kChunkReady };

    unsigned char* chunkBits(long long chunkIndex) override {
        const size_t chunk = static_cast<size_t>(chunkIndex);
        std::atomic<unsigned char>& state = m_chunkStates[chunk];
        for (;;) {
            unsigned char seen = state.load(std::memory_order_acquire);
            if (seen == kChunkReady)
                return (*m_bitmap)[chunk].data();
            if (seen == kChunkEmpty &&
                state.compare_exchange_strong(seen, kChunkMaking, std::memory_order_acquire)) {
                try {
                    (*m_bitmap)[chunk].resize(static_cast<size_t>(kBitsPerChunk / 8), 0);
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
    std::unique_ptr<std::atomic<unsigned char>[]> m_chunkStates;  // one per chunk
};

// Only chunks that hold extents exist, in a map whose nodes never move. A folder's extents
// share a chunk, so each thread keeps the last chunk it used and takes the lock only when
// it moves on to another.
class SparseScanner : public TqBlkBackingStoreScanner {
  public:
    SparseScanner(const std::string& dir, long long extentCount)
        : TqBlkBackingStoreScanner(dir, extentCount), m_serial(++s_serials) {}

    std::map<long long, std::vector<unsigned char> > m_chunks;

  private:
    struct LastChunk {
        unsigned long long serial = 0;  // the scan it belongs to
        long long chunk = -1;
        unsigned char* bits = nullptr;
    };

    unsigned char* chunkBits(long long chunk) override {
        thread_local LastChunk last;
        if (last.serial == m_serial && last.chunk == chunk)
            return last.bits;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<unsigned char>& bits = m_chunks[chunk];
        if (bits.empty())
            bits.resize(static_cast<size_t>(kBitsPerChunk / 8), 0);
        last = LastChunk{m_serial, chunk, bits.data()};
        return last.bits;
    }

    static std::atomic<unsigned long long> s_serials;
    const unsigned long long m_serial;
    std::mutex m_mutex;
};

std::atomic<unsigned long long> SparseScanner::s_serials{0};

// Runs a scan: a failed allocation is ENOMEM, and a failure says which store it scanned;
// where is the location of the operation that asked for it.
template <class Scan>
CZyError runScan(const JQCodeLocation& where, const std::string& dir, Scan scan) {
    CZyError err;
    try {
        err = scan();
    } catch (const std::bad_alloc&) {
        return JQErrorUtil::ErrorErrNo(where, ENOMEM, "Couldn't allocate the extent bitmap");
    }
    if (err.IsError())
        return err.Push(where, "Couldn't scan backing store's directory %s", dir.c_str());
    return CZyError::Success();
}

}  // namespace

CZyError TqBlkBackingStore::getExtentBitmap(std::vector<std::vector<unsigned char> >* bitmap,
                                            int* count) {
    *count = kBitsPerChunk;
    const long long chunks = (m_extentCount + kBitsPerChunk - 1) / kBitsPerChunk;
    if (chunks > INT_MAX)
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, EINVAL, "Extent count %lld is too large for a bitmap", m_extentCount);
    return runScan(TQ_STORE_HERE, m_dir, [&] {
        bitmap->clear();
        bitmap->resize(static_cast<size_t>(chunks));
        DenseScanner scanner(m_dir, m_extentCount, bitmap);
        return scanner.Traverse();
    });
}

CZyError TqBlkBackingStore::getPresentChunks(
    std::vector<std::pair<long long, std::vector<unsigned char> > >* chunks, int* count) {
    *count = kBitsPerChunk;
    return runScan(TQ_STORE_HERE, m_dir, [&] {
        chunks->clear();
        SparseScanner scanner(m_dir, m_extentCount);
        CZyError err = scanner.Traverse();
        if (!err.IsError()) {
            chunks->reserve(scanner.m_chunks.size());
            for (auto& chunk : scanner.m_chunks)
                chunks->emplace_back(chunk.first, std::move(chunk.second));
        }
        return err;
    });
}
