#include "Evictor.h"

#include "ErrnoText.h"
#include "ErrorText.h"
#include "StoreUse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

namespace recalld {

using Clock = std::chrono::steady_clock;

Evictor::Evictor(EvictOptions options, std::string uuid, std::string storeDir,
                 std::string adminNode, Progress& progress, Stats& stats)
    : m_options(options),
      m_uuid(std::move(uuid)),
      m_storeDir(std::move(storeDir)),
      m_progress(progress),
      m_stats(stats),
      m_driver(std::move(adminNode)),
      m_policy(options.lowMark(), 1) {}

Evictor::~Evictor() {
    stop();
}

int Evictor::start(std::string* detail) {
    CZyError err;
    m_store.reset(TqBlkRecallStore::open(m_storeDir.c_str(), &err));
    if (!m_store) {
        *detail = tqtools::oneLine("Couldn't open the recall store " + m_storeDir, err);
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    m_storeFd = tqtools::openStoreDir(m_storeDir);
    struct stat st;
    if (!m_storeFd.valid() || ::fstat(m_storeFd.get(), &st) != 0) {
        int e = errno;
        *detail = "Couldn't open the recall store " + m_storeDir + " for eviction: " + errnoText(e);
        return e;
    }
    m_dev = st.st_dev;
    m_policy = EvictionPolicy(m_options.lowMark(), m_store->getExtentSize());
    m_evicted.assign(static_cast<size_t>(m_store->m_extentCount), false);
    // What a previous run left: oldest first by the files' times, all in the main FIFO.
    std::vector<tqtools::ExtentUse> found;
    int e = tqtools::scanStoreUse(*m_store, m_storeFd.get(), m_dev, &found, detail);
    if (e != 0) {
        *detail = "Couldn't list the extents of " + m_storeDir + ": " + *detail;
        return e;
    }
    std::stable_sort(
        found.begin(), found.end(),
        [](const tqtools::ExtentUse& a, const tqtools::ExtentUse& b) { return a.time < b.time; });
    for (const tqtools::ExtentUse& use : found)
        m_policy.known(use.extent, use.cost);
    m_counts.limit = m_options.limit;
    m_counts.used = m_policy.bytes();
    m_stats.setStoreUse(m_counts);
    // The MRU list tells which present extents are read; without it the policy still
    // orders by arrival.
    err = m_driver.open();
    if (!err.IsError())
        err = m_driver.setMRUExts(m_uuid.c_str(), m_options.mruCount);
    if (err.IsError()) {
        m_mruWorks = false;
        m_progress.warning(tqtools::oneLine("Couldn't size the MRU list of " + m_uuid, err) +
                           "; evicting by arrival order alone");
    }
    m_mruBuffer.assign(static_cast<size_t>(m_options.mruCount), 0);
    m_progress.note("recall store limit " + std::to_string(m_options.limit) +
                    " bytes: evicting above " + std::to_string(m_options.highMark()) + " down to " +
                    std::to_string(m_options.lowMark()) + "; it holds " +
                    std::to_string(m_counts.used) + " bytes in " +
                    std::to_string(m_policy.count()) + " extents");
    m_urgent = m_counts.used > m_options.highMark();
    m_thread = std::thread(&Evictor::loop, this);
    return 0;
}

void Evictor::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void Evictor::begin(long long extent) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_removed.wait(lock, [&] { return m_removing != extent; });
    ++m_busy[extent];
}

// One call per placement, on every worker: a single fstatat by the path the placement itself
// just used, where a removal opens the directory refusing links and mounts (three calls). A
// file on another mount costs this store nothing.
long long Evictor::costOf(long long extent) {
    struct stat st;
    const std::string name = tqtools::extentName(*m_store, extent);
    if (::fstatat(m_storeFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != m_dev)
        return 0;
    return tqtools::extentCost(st);
}

void Evictor::end(long long extent, bool placed, bool demand) {
    const long long cost = placed ? costOf(extent) : 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (--m_busy[extent] <= 0)
        m_busy.erase(extent);
    if (!placed)
        return;
    if (extent >= 0 && extent < static_cast<long long>(m_evicted.size()) && m_evicted[extent]) {
        m_evicted[extent] = false;
        if (demand)
            ++m_counts.remisses;
    }
    m_policy.placed(extent, cost, demand);
    m_fresh.insert(extent);
    m_counts.used = m_policy.bytes();
    if (m_counts.used > m_options.highMark() && !m_urgent) {
        m_urgent = true;
        m_wake.notify_all();
    }
    // Past the limit itself the worker waits (a bounded time) for eviction to catch up
    // before it takes the next request, so recalls cannot outrun it.
    if (m_counts.used > m_options.limit)
        m_removed.wait_for(lock, std::chrono::seconds(1), [&] {
            return m_stop || m_policy.bytes() <= m_options.highMark() || m_stuck;
        });
}

bool Evictor::roomFor(long long bytes, bool inFlight) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const long long placing = inFlight ? static_cast<long long>(m_busy.size()) * bytes : 0;
    return m_policy.bytes() + placing + bytes <= m_options.highMark();
}

StoreUse Evictor::counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

void Evictor::loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        m_wake.wait_for(lock, m_options.poll, [&] { return m_stop || m_urgent; });
        if (m_stop)
            return;
        // Past the high mark eviction comes first; the MRU list is read at the poll's pace.
        if (m_urgent) {
            m_urgent = false;
            evictDown(lock);
        }
        if (Clock::now() >= m_nextLook) {
            m_nextLook = Clock::now() + m_options.poll;
            lock.unlock();
            readMru();
            lock.lock();
            evictDown(lock);
        }
        m_removed.notify_all();
        m_counts.used = m_policy.bytes();
        m_stats.setStoreUse(m_counts);
    }
}

// Reads the MRU list and feeds the policy the extents read since the last look: the list's
// head down to where it goes on as the last look's list did (same extents in the same order).
void Evictor::readMru() {
    int count = 0;
    if (m_mruWorks) {
        count = m_options.mruCount;
        CZyError err = m_driver.getMRUExts(m_uuid.c_str(), m_mruBuffer.data(), &count);
        if (err.IsError()) {
            m_mruWorks = false;
            count = 0;
            m_progress.warning(tqtools::oneLine("Couldn't read the MRU list of " + m_uuid, err) +
                               "; evicting by arrival order alone");
        }
    }
    std::vector<long long> list(m_mruBuffer.begin(), m_mruBuffer.begin() + count);
    std::unordered_map<long long, size_t> before;
    for (size_t i = 0; i < m_lastMru.size(); ++i)
        before.emplace(m_lastMru[i], i);
    size_t fresh = list.size();  // list[0, fresh) was read since the last look
    size_t next = SIZE_MAX;
    while (fresh > 0) {
        auto it = before.find(list[fresh - 1]);
        if (it == before.end() || it->second >= next)
            break;
        next = it->second;
        --fresh;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    // Extents placed since the last look stay until the next: the read that waited for one
    // may have yet to get its bytes. One the list shows read has them: a read enters the
    // list once it is served. Sparing it longer would, under a scan, spare most of the small
    // FIFO and turn eviction on the main one, the hot set.
    m_hot.swap(m_fresh);
    m_fresh.clear();
    // Oldest read first, so the policy sees them in the order they came.
    for (size_t i = fresh; i-- > 0;) {
        if (m_policy.used(list[i])) {
            ++m_counts.hitsSeen;
            m_hot.insert(list[i]);
        } else {
            m_hot.erase(list[i]);
        }
    }
    m_lastMru.swap(list);
}

// Above the high mark: removes the coldest extents until the store is under the low mark.
void Evictor::evictDown(std::unique_lock<std::mutex>& lock) {
    if (m_policy.bytes() <= m_options.highMark())
        return;
    // The round's directories are opened (and checked) once, for all its removals.
    tqtools::ExtentDirs dirs(m_storeFd.get(), m_dev);
    // Within a round the extents spared for being read or placed lately only grow in number
    // (placements add to them, the MRU list is read between rounds), so once none but them
    // is left, asking again costs a walk over the whole FIFO for nothing.
    bool othersLeft = true;
    while (!m_stop && m_policy.bytes() > m_options.lowMark()) {
        // Extents read or placed lately are spared while others may go; the limit comes
        // first, so only those being placed are spared for good.
        long long cost = 0;
        auto placing = [&](long long e) { return m_busy.count(e) > 0; };
        // While the small FIFO is over its share, even its extents placed lately go before
        // the main FIFO's: a flood of new extents must not push the hot set out.
        long long extent = -1;
        if (othersLeft)
            extent = m_policy.victim(
                [&](long long e) {
                    return placing(e) || m_hot.count(e) > 0 || m_fresh.count(e) > 0;
                },
                &cost, true);
        othersLeft = extent >= 0;
        if (extent < 0)
            extent = m_policy.victim(placing, &cost, true);
        if (extent < 0)
            extent = m_policy.victim(placing, &cost);
        if (extent < 0) {
            ++m_counts.unmet;
            if (!m_unmetSaid)
                m_progress.warning(
                    "the recall store holds " + std::to_string(m_policy.bytes()) +
                    " bytes and cannot get under " + std::to_string(m_options.lowMark()) +
                    " of its limit " + std::to_string(m_options.limit) +
                    ": every extent left is being placed; trying again as recalls move on");
            m_unmetSaid = true;
            m_stuck = true;
            return;
        }
        m_removing = extent;
        lock.unlock();
        int e = dirs.remove(tqtools::extentName(*m_store, extent));
        lock.lock();
        m_removing = -1;
        m_removed.notify_all();
        if (e == 0 || e == ENOENT) {
            ++m_counts.evictions;
            m_counts.evictedBytes += cost;
            m_evicted[static_cast<size_t>(extent)] = true;
            continue;
        }
        // Kept, and not tried again this round: a lasting failure must not spin.
        m_policy.known(extent, cost);
        if (!m_failSaid)
            m_progress.warning("Couldn't evict extent " + std::to_string(extent) + " from " +
                               m_storeDir + ": " + errnoText(e) + "; it stays");
        m_failSaid = true;
        return;
    }
    m_stuck = false;
    if (m_unmetSaid)
        m_progress.note("the recall store is under its limit again (" +
                        std::to_string(m_policy.bytes()) + " bytes)");
    m_unmetSaid = false;
}

}  // namespace recalld
