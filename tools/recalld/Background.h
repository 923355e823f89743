#ifndef TQBLK_RECALLD_BACKGROUND_H
#define TQBLK_RECALLD_BACKGROUND_H

#include "Progress.h"
#include "ReadaheadWindow.h"
#include "Source.h"
#include "SyncGroup.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace recalld {

class Evictor;
class Hydrator;

struct BackgroundOptions {
    // The most extents brought in ahead of sequential demand recalls; 0 turns readahead off.
    int readahead = 32;
    int readaheadWorkers = 2;  // the service runs as many as demand workers, 2 at least
    // Fill every missing extent, at most hydrateRate MiB/s (0: as fast as one worker goes).
    bool hydrate = false;
    double hydrateRate = 0;
    // A bounded store's evictor: told of each placement; hydration stops where it has no room,
    // and readahead skips extents while it has none.
    Evictor* evictor = nullptr;

    bool any() const { return readahead > 0 || hydrate; }
};

// source.place, with a resource the system refused turned into that recall's errno: memory
// for the extent's bytes (ENOMEM) or a thread (the errno of the std::system_error). The
// service goes on; only this extent fails.
int placeCatching(Source& source, TqBlkBackingStore& target, long long extent, SyncGroup* sync,
                  long long* bytes, std::string* detail);

// Brings single extents in for the work besides the driver's requests, as demand recalls do
// (the file durable before its move-in) but leaving the driver out: it finds the extents when
// it next looks. An extent is brought in by one fill at a time, and a demand recall of an
// extent being brought in waits for that fill, woken by its end alone. Thread-safe.
class BackgroundFill {
  public:
    BackgroundFill(Source& source, SyncGroup* sync, Evictor* evictor, Progress& progress)
        : m_source(source), m_sync(sync), m_evictor(evictor), m_progress(progress) {}

    // Brings extent in unless present; 0 when it is in place after. ECANCELED when another
    // fill has it or the work has ended; ESTALE once the source changed (for good). A failure
    // is logged with why ("readahead", "hydration").
    int fill(TqBlkBackingStore& store, long long extent, const char* why, long long* bytes);
    // Waits while extent is being brought in. True when it was and is now in place.
    bool await(long long extent);
    // From now on fill brings nothing in.
    void end() { m_ended = true; }
    bool over() const { return m_ended || m_stale; }

  private:
    struct Waiters {
        std::condition_variable done;
        bool ended = false;
        int result = 0;
    };

    Source& m_source;
    SyncGroup* const m_sync;
    Evictor* const m_evictor;
    Progress& m_progress;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_stale{false};  // the source changed: nothing more to bring in
    std::mutex m_mutex;                // guards what follows
    std::set<long long> m_inFlight;
    std::map<long long, std::shared_ptr<Waiters>> m_waiters;  // of extents in flight
};

// Work besides the driver's requests, on threads and connections of its own so that demand
// recalls never queue behind it: readahead, which brings the extents after a sequential run
// of demand recalls into the recall store (see ReadaheadWindow), and hydration (see Hydrator).
// Both skip extents present.
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

    // A demand recall of extent is starting: extends or restarts the sequential run.
    void demanded(long long extent);
    // Waits while the extent is being brought in by this background work. True when it was
    // and is now in place, so the demand recall need not fetch it again.
    bool awaitInFlight(long long extent) { return m_fill.await(extent); }

  private:
    void readaheadLoop(TqBlkBackingStore& store);

    const BackgroundOptions m_options;
    const std::string m_storeDir;
    Progress& m_progress;
    BackgroundFill m_fill;
    std::vector<std::unique_ptr<TqBlkRecallStore>> m_stores;  // one per thread
    std::vector<std::thread> m_threads;                       // readahead's
    std::unique_ptr<Hydrator> m_hydrator;

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_queued;
    bool m_stop = false;
    std::unique_ptr<ReadaheadWindow> m_window;
    std::deque<long long> m_queue;  // readahead extents to bring in, in order
};

}  // namespace recalld

#endif
