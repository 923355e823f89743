#include "EvictionPolicy.h"

#include <algorithm>

namespace recalld {
namespace {

constexpr uint8_t kMaxFreq = 3;

}  // namespace

EvictionPolicy::EvictionPolicy(long long capacity, long long extentSize)
    : m_capacity(std::max(capacity, 1LL)),
      m_smallTarget(std::max(m_capacity / 10, extentSize)),
      m_ghostCapacity(static_cast<size_t>(std::max(m_capacity / std::max(extentSize, 1LL), 1LL))) {}

void EvictionPolicy::push(long long extent, Entry& entry, Queue queue) {
    entry.queue = queue;
    entry.seq = ++m_seq;
    m_queues[queue].push_back(Slot{extent, entry.seq});
    m_bytes[queue] += entry.cost;
    ++m_live[queue];
}

bool EvictionPolicy::front(Queue queue, long long* extent) {
    std::deque<Slot>& slots = m_queues[queue];
    while (!slots.empty()) {
        const Slot slot = slots.front();
        auto it = m_entries.find(slot.extent);
        if (it != m_entries.end() && it->second.seq == slot.seq) {
            *extent = slot.extent;
            return true;
        }
        slots.pop_front();
    }
    return false;
}

void EvictionPolicy::remember(long long extent) {
    m_ghost.push_back(Slot{extent, ++m_seq});
    m_ghostSeq[extent] = m_seq;
    while (m_ghostSeq.size() > m_ghostCapacity && !m_ghost.empty()) {
        const Slot old = m_ghost.front();
        m_ghost.pop_front();
        auto it = m_ghostSeq.find(old.extent);
        if (it != m_ghostSeq.end() && it->second == old.seq)
            m_ghostSeq.erase(it);
    }
}

bool EvictionPolicy::sequential(long long extent) const {
    for (long long neighbour : {extent - 1, extent + 1}) {
        auto it = m_entries.find(neighbour);
        if (it != m_entries.end() && it->second.queue == kSmall && it->second.freq == 0)
            return true;
    }
    return false;
}

void EvictionPolicy::placed(long long extent, long long cost, bool demand) {
    auto it = m_entries.find(extent);
    if (it != m_entries.end()) {
        // Placed again (a recall raced a readahead): the new file's cost, the same place.
        Entry& entry = it->second;
        m_bytes[entry.queue] += cost - entry.cost;
        entry.cost = cost;
        entry.absorb = entry.absorb || demand;
        if (cost == 0)
            forget(extent);
        return;
    }
    if (cost <= 0)
        return;
    Entry& entry = m_entries[extent];
    entry = Entry{cost, 0, kSmall, 0, demand};
    // A name still remembered: it left the small FIFO too early, so it goes to the main one.
    auto ghost = m_ghostSeq.find(extent);
    const bool returning = ghost != m_ghostSeq.end();
    if (returning)
        m_ghostSeq.erase(ghost);
    push(extent, entry, returning ? kMain : kSmall);
}

void EvictionPolicy::known(long long extent, long long cost) {
    if (cost <= 0 || m_entries.count(extent) > 0)
        return;
    Entry& entry = m_entries[extent];
    entry = Entry{cost, 0, kMain, 0, false};
    push(extent, entry, kMain);
}

bool EvictionPolicy::used(long long extent) {
    auto it = m_entries.find(extent);
    if (it == m_entries.end())
        return false;
    Entry& entry = it->second;
    if (entry.absorb) {
        entry.absorb = false;
        return false;
    }
    entry.freq = static_cast<uint8_t>(std::min<int>(entry.freq + 1, kMaxFreq));
    return true;
}

void EvictionPolicy::forget(long long extent) {
    auto it = m_entries.find(extent);
    if (it == m_entries.end())
        return;
    m_bytes[it->second.queue] -= it->second.cost;
    --m_live[it->second.queue];
    m_entries.erase(it);
}

long long EvictionPolicy::victim(const std::function<bool(long long)>& refuse, long long* cost,
                                 bool spareMain) {
    // Each extent is looked at a bounded number of times per call: the small FIFO once over,
    // the main one once per second chance it may hold, so a store where everything is
    // refused ends the call instead of spinning.
    long long smallTries = m_live[kSmall];
    long long mainTries = m_live[kMain] * (kMaxFreq + 1) + m_live[kSmall];
    while (smallTries > 0 || mainTries > 0) {
        const bool smallOver = m_bytes[kSmall] > m_smallTarget || m_live[kMain] == 0;
        if (smallOver && smallTries <= 0 && spareMain)
            return -1;
        // Once the small FIFO has been looked over, the main one is next even while the small
        // one stays over its share (all it holds refused).
        Queue queue = (smallOver && smallTries > 0) || mainTries <= 0 ? kSmall : kMain;
        long long extent = 0;
        if (!front(queue, &extent)) {
            (queue == kSmall ? smallTries : mainTries) = 0;
            continue;
        }
        --(queue == kSmall ? smallTries : mainTries);
        m_queues[queue].pop_front();
        Entry& entry = m_entries[extent];
        m_bytes[queue] -= entry.cost;
        --m_live[queue];
        if (refuse(extent)) {
            push(extent, entry, queue);
        } else if (queue == kSmall && entry.freq > 0) {
            entry.freq = 0;
            push(extent, entry, kMain);
        } else if (queue == kMain && entry.freq > 0) {
            --entry.freq;
            push(extent, entry, kMain);
        } else {
            *cost = entry.cost;
            if (queue == kSmall && !sequential(extent))
                remember(extent);
            m_entries.erase(extent);
            return extent;
        }
    }
    return -1;
}

}  // namespace recalld
