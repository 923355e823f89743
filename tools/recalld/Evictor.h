#ifndef TQBLK_RECALLD_EVICTOR_H
#define TQBLK_RECALLD_EVICTOR_H

#include "EvictionPolicy.h"
#include "Progress.h"

#include "ToolDriver.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqsys/UniqueFd.h>

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace recalld {

struct EvictOptions {
    long long limit = 0;                  // bytes the recall store may occupy; 0: unbounded
    int highPercent = 95;                 // eviction starts above this share of the limit
    int lowPercent = 80;                  // and ends at or below this one
    int mruCount = 8192;                  // the driver's MRU list length asked for
    std::chrono::milliseconds poll{100};  // how often the MRU list is read

    bool any() const { return limit > 0; }
    long long highMark() const {
        return limit / 100 * highPercent + limit % 100 * highPercent / 100;
    }
    long long lowMark() const { return limit / 100 * lowPercent + limit % 100 * lowPercent / 100; }
};

// Keeps one recall store under a size limit while the service serves it. A thread of its own
// reads the driver's MRU list every poll interval (feeding the policy with the reads of
// present extents) and, once the bytes the store occupies pass the high mark, removes the
// coldest extents until they are under the low mark.
//
// Safety: it works only while the service holds the store's lock; it removes only the
// entries named as extents of the store, reaching them without following a link or leaving
// the store's mount (each directory checked once per round of removals); never an extent
// being placed (begin/end below), and one read or placed in the last poll interval only when
// nothing else may go (from the small FIFO while that is over its share). A removal is one
// unlink, so a kill or power cut mid-eviction leaves every extent present whole. When
// nothing may go, it says so once and waits for recalls to move on rather than spin.
class Evictor {
  public:
    Evictor(EvictOptions options, std::string uuid, std::string storeDir, std::string adminNode,
            Progress& progress, Stats& stats);
    ~Evictor();
    Evictor(const Evictor&) = delete;
    Evictor& operator=(const Evictor&) = delete;

    // Scans the store (files' times order what was there before), sizes the MRU list and
    // starts the thread. Returns 0 or an errno with *detail.
    int start(std::string* detail);
    void stop();

    // Around the placement of an extent (demand: a read waits for it): begin waits while the
    // extent is being removed and keeps eviction off it until end.
    void begin(long long extent);
    void end(long long extent, bool placed, bool demand);

    // Whether one more extent of `bytes` fits under the high mark (hydration asks); with
    // inFlight, every placement in flight counted at `bytes` too (readahead asks: speculation
    // leaves the room left to demand recalls).
    bool roomFor(long long bytes, bool inFlight = false) const;
    StoreUse counts() const;
    const EvictOptions& options() const { return m_options; }

    // Holds an extent for a placement: begin at construction, end at destruction.
    class Hold {
      public:
        Hold(Evictor* evictor, long long extent, bool demand)
            : m_evictor(evictor), m_extent(extent), m_demand(demand) {
            if (m_evictor)
                m_evictor->begin(extent);
        }
        ~Hold() {
            if (m_evictor)
                m_evictor->end(m_extent, m_placed, m_demand);
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        void placed() { m_placed = true; }

      private:
        Evictor* m_evictor;
        long long m_extent;
        bool m_demand;
        bool m_placed = false;
    };

  private:
    void loop();
    void readMru();
    void evictDown(std::unique_lock<std::mutex>& lock);
    long long costOf(long long extent);

    const EvictOptions m_options;
    const std::string m_uuid;
    const std::string m_storeDir;
    Progress& m_progress;
    Stats& m_stats;
    tqtools::ToolDriver m_driver;
    std::unique_ptr<TqBlkRecallStore> m_store;
    tqsys::UniqueFd m_storeFd;
    dev_t m_dev = 0;
    std::vector<long long> m_mruBuffer;
    std::vector<long long> m_lastMru;
    bool m_mruWorks = true;
    std::thread m_thread;

    mutable std::mutex m_mutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_stop = false;
    EvictionPolicy m_policy;
    StoreUse m_counts;
    std::map<long long, int> m_busy;  // extents being placed
    long long m_removing = -1;        // the extent being removed
    std::set<long long> m_hot;        // extents read again in the last poll interval, and
                                      // those placed before it whose read is not seen yet
    std::set<long long> m_fresh;      // extents placed since the last look at the MRU list
    std::vector<bool> m_evicted;      // extents evicted and not recalled since
    bool m_unmetSaid = false;
    bool m_failSaid = false;
    bool m_urgent = false;  // passed the high mark: evict before the next poll
    bool m_stuck = false;   // the last round found nothing that may go
    std::chrono::steady_clock::time_point m_nextLook;  // when the MRU list is read next
    std::condition_variable m_removed;  // an extent removed, or a round of eviction over
};

}  // namespace recalld

#endif
