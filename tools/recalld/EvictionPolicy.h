#ifndef TQBLK_RECALLD_EVICTIONPOLICY_H
#define TQBLK_RECALLD_EVICTIONPOLICY_H

#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>

namespace recalld {

// Which extents of a bounded recall store are cold: S3-FIFO, fed with what the recall service
// sees. Extents that come in (recalls, readahead, hydration) enter a small FIFO that holds
// about a tenth of the capacity; one that is read again while there moves on to the main
// FIFO, the others leave and are remembered in a ghost FIFO of names. An extent recalled
// again while its name is remembered goes straight to the main FIFO. The main FIFO gives
// each extent read again since it last passed a second chance (up to three).
//
// So one pass over the device (hydration, a backup's sequential read) flows through the
// small FIFO and leaves the hot set in the main one alone. Its extents leave without being
// remembered (an unread neighbour in the small FIFO gives them away), so that the names of
// the others evicted meanwhile stay in the ghost FIFO and bring them back on their next miss.
//
// What counts as a read comes from the driver's list of recently used extents: a demand
// recall is followed by the read that asked for it, which is no reuse, so the first read
// seen after a demand recall is absorbed. Costs are bytes (what removing the extent frees);
// extents that cost nothing are not kept here. Not thread-safe.
class EvictionPolicy {
  public:
    // capacity: the bytes the store is trimmed to; extentSize sizes the ghost FIFO.
    EvictionPolicy(long long capacity, long long extentSize);

    // An extent came into the store. demand: a read waits for it.
    void placed(long long extent, long long cost, bool demand);
    // An extent found in the store at start, oldest first: it enters the main FIFO.
    void known(long long extent, long long cost);
    // A read of the extent was seen. True when it counts as a reuse (a hit).
    bool used(long long extent);
    // The extent left the store by other means.
    void forget(long long extent);
    // Takes the coldest extent that refuse lets go out of the policy and returns it with its
    // cost, or -1 when every extent is refused or none is kept. spareMain: while the small
    // FIFO is over its share, -1 when all it holds is refused rather than a main FIFO extent
    // (under a flood of new extents, none read yet, the hot set need not pay for it).
    long long victim(const std::function<bool(long long)>& refuse, long long* cost,
                     bool spareMain = false);

    long long bytes() const { return m_bytes[0] + m_bytes[1]; }
    long long count() const { return static_cast<long long>(m_entries.size()); }
    bool contains(long long extent) const { return m_entries.count(extent) > 0; }

  private:
    enum Queue : uint8_t { kSmall = 0, kMain = 1 };
    struct Entry {
        long long cost;
        uint64_t seq;  // which queue slot is its own; older slots are stale
        Queue queue;
        uint8_t freq;
        bool absorb;
    };
    struct Slot {
        long long extent;
        uint64_t seq;
    };

    void push(long long extent, Entry& entry, Queue queue);
    // The oldest live slot of the queue, or false when it has none.
    bool front(Queue queue, long long* extent);
    void remember(long long extent);
    // Whether a neighbour of the extent waits in the small FIFO unread too: the extent came
    // with a sequential pass, whose names would only push the others' out of the ghost FIFO.
    bool sequential(long long extent) const;

    long long m_capacity;
    long long m_smallTarget;
    size_t m_ghostCapacity;
    std::unordered_map<long long, Entry> m_entries;
    std::deque<Slot> m_queues[2];
    long long m_bytes[2] = {0, 0};
    long long m_live[2] = {0, 0};
    uint64_t m_seq = 0;
    std::deque<Slot> m_ghost;
    std::unordered_map<long long, uint64_t> m_ghostSeq;
};

}  // namespace recalld

#endif
