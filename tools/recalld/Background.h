#ifndef TQBLK_RECALLD_BACKGROUND_H
#define TQBLK_RECALLD_BACKGROUND_H

#include "Progress.h"
#include "Source.h"
#include "SyncGroup.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace recalld {

class Evictor;

struct BackgroundOptions {
    // The most extents brought in ahead of sequential demand recalls; 0 turns readahead off.
    int readahead = 32;
    int readaheadWorkers = 2;  // the service runs as many as demand workers, 2 at least
    // Fill every missing extent, at most hydrateRate MiB/s (0: as fast as one worker goes).
    bool hydrate = false;
    double hydrateRate = 0;
    // A bounded store's evictor: told of each placement; hydration stops where it has no room.
    Evictor* evictor = nullptr;

    bool any() const { return readahead > 0 || hydrate; }
};

// Work besides the driver's requests, on threads and connections of its own so that demand
// recalls never queue behind it: readahead, which brings the extents after a sequential run
// of demand recalls into the recall store, in a window that doubles while the run goes on
// (up to the cap) and starts over when it breaks; and hydration, which walks every extent
// from the first and brings in those still missing, at a bounded rate, until the store holds
// them all. Both skip extents present, make each file durable before its move-in as demand
// recalls do, and leave the driver out: it finds the extents when it next looks.
// source.place, with a resource the system refused turned into that recall's errno: memory
// for the extent's bytes (ENOMEM) or a thread (the errno of the std::system_error). The
// service goes on; only this extent fails.
int placeCatching(Source& source, TqBlkBackingStore& target, long long extent, SyncGroup* sync,
                  long long* bytes, std::string* detail);

class Background {
  public:
    Background(BackgroundOptions options, std::string storeDir, Source& source, SyncGroup* sync,
               Progress& progress);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Opens the stores of its threads and starts them. Returns 0 or an errno with *detail.
    int start(std::string* detail);
    // Ends the threads after the extents they are placing.
    void stop();

    // A demand recall of extent succeeded: extends or restarts the sequential run.
    void demanded(long long extent);
    // Waits while the extent is being brought in by this background work. True when it was
    // and is now in place, so the demand recall need not fetch it again.
    bool awaitInFlight(long long extent);

    long long hydratedCount() const;

  private:
    void readaheadLoop(TqBlkBackingStore& store);
    void hydrateLoop(TqBlkBackingStore& store);
    // Brings in one extent unless present or in flight; 0 when it is in place after.
    int fill(TqBlkBackingStore& store, long long extent, const char* why, long long* bytes);
    bool sleepUntil(std::chrono::steady_clock::time_point when);
    long long countPresent(TqBlkBackingStore& store);
    bool roomFor(long long extent, long long moved);

    const BackgroundOptions m_options;
    const std::string m_storeDir;
    Source& m_source;
    SyncGroup* m_sync;
    Progress& m_progress;
    long long m_extentCount = 0;
    long long m_extentSize = 0;
    std::vector<std::unique_ptr<TqBlkRecallStore>> m_stores;  // one per thread
    std::vector<std::thread> m_threads;

    mutable std::mutex m_mutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_stop = false;
    std::deque<long long> m_queue;       // readahead extents to bring in, in order
    std::set<long long> m_inFlight;      // extents being brought in
    std::map<long long, int> m_waiters;  // demand recalls waiting for in-flight extents
    std::map<long long, int> m_result;   // how those extents ended
    long long m_lastDemand = -2;
    long long m_runEnd = -2;   // the last extent of the sequential run and its readahead
    long long m_window = 0;    // the readahead window of the run
    long long m_hydrated = 0;  // extents brought in by hydration
    bool m_stale = false;      // the source changed: nothing more to bring in
};

}  // namespace recalld

#endif
