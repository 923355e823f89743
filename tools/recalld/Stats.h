#ifndef TQBLK_RECALLD_STATS_H
#define TQBLK_RECALLD_STATS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace recalld {

class Log;

// The counters of a bounded recall store (see Evictor).
struct StoreUse {
    long long limit = 0;         // bytes; 0: unbounded
    long long used = 0;          // bytes the store occupies, as its extents cost them
    long long evictions = 0;     // extents removed to keep the limit
    long long evictedBytes = 0;  // what those removals freed
    long long remisses = 0;      // demand recalls of extents evicted before
    long long hitsSeen = 0;      // reads of present extents seen in the driver's MRU list
    long long unmet = 0;         // rounds that could not get under the low mark
};

// The service's live counters. Thread-safe; the workers count, a writer thread of its own
// puts them in the stats file once a second (see StatsFile).
class Stats {
  public:
    // present: the extents the store holds, or -1 when they could not be counted (the
    // stats file then shows null rather than a wrong count).
    Stats(std::string device, std::string recallStore, long long present, long long total);

    void fetched();  // a demand recall came in
    // and was put in place; placed false when readahead or hydration had put it there
    void done(long long bytes, bool placed = true);
    void placed();  // readahead or hydration put an extent in place
    // The syncs made so far: extents' own data syncs and the shared directory syncs.
    void setSyncs(long long files, long long directories);
    void countPresent();  // an extent came in: one more present, up to the extent count
    // Where the stats file reads the source's retries from; called before it is written.
    void setRetries(std::function<long long()> retries) { m_retries = std::move(retries); }
    // And the bytes it fetched (-1: not counted, left out of the stats file).
    void setFetched(std::function<long long()> fetched) { m_fetched = std::move(fetched); }
    void failed(int error);  // or failed with this errno
    // How long an answered recall took, from its fetch: counted in a histogram.
    void took(std::chrono::microseconds latency);
    void setState(const std::string& state);
    // The workers asked for, and those able to work now (a worker that cannot open the store
    // is not).
    void setWorkers(int wanted) { m_workersWanted = wanted; }
    void workerWorking(bool working) { m_workersWorking += working ? 1 : -1; }
    void setStoreUse(const StoreUse& use);

    // Bytes and extents recalled per second over the last few seconds (not since start, so
    // it falls to 0 while the service idles). Takes a sample; call about once a second.
    void sample();
    double bytesPerSecond() const;
    double extentsPerSecond() const;

    long long present() const { return m_present; }
    long long total() const { return m_total; }
    long long inFlight() const { return m_inFlight; }
    long long doneCount() const { return m_done; }
    long long failedCount() const { return m_failed; }
    long long bytes() const { return m_bytes; }

    // The counters as one JSON object (see the tools' documentation for its keys).
    std::string json() const;

  private:
    struct Sample {
        std::chrono::steady_clock::time_point at;
        long long bytes;
        long long done;
    };
    static constexpr int kWindowSeconds = 5;

    const std::string m_device;
    const std::string m_recallStore;
    const long long m_total;
    const std::chrono::steady_clock::time_point m_started;
    std::atomic<long long> m_present;
    std::atomic<long long> m_demand{0};
    std::atomic<long long> m_inFlight{0};
    std::atomic<long long> m_done{0};
    std::atomic<long long> m_failed{0};
    std::atomic<long long> m_bytes{0};
    static const double kLatencyBounds[];  // seconds: the histogram's upper bounds
    static constexpr int kLatencyBuckets = 14;
    std::atomic<long long> m_latency[kLatencyBuckets + 1] = {};  // the last: above them all
    std::atomic<long long> m_latencyMicros{0};
    std::atomic<long long> m_backgroundPlaced{0};
    std::atomic<long long> m_fileSyncs{0};
    std::atomic<long long> m_directorySyncs{0};
    std::function<long long()> m_retries;
    std::function<long long()> m_fetched;
    std::atomic<int> m_workersWanted{0};
    std::atomic<int> m_workersWorking{0};
    mutable std::mutex m_mutex;  // guards what follows
    std::map<int, long long> m_failedByErrno;
    std::deque<Sample> m_samples;
    std::string m_state = "starting";
    StoreUse m_storeUse;
};

// Writes Stats to a file once a second, atomically (a temporary file beside it, renamed
// over it), so that a reader sees the old or the new counters, never a mix. A failed write
// is logged once, not every second; the temporary file is never left behind. The same
// counters go to a second file in Prometheus' text format (Metrics.h), written the same way;
// either path may be empty.
class StatsFile {
  public:
    StatsFile(Stats& stats, std::string path, std::string metricsPath, Log& log);
    ~StatsFile();  // writes one last time and stops
    StatsFile(const StatsFile&) = delete;
    StatsFile& operator=(const StatsFile&) = delete;

    // Writes now; returns 0 or the errno, with *detail saying what failed.
    int writeNow(std::string* detail);

  private:
    void loop();

    Stats& m_stats;
    const std::string m_path;
    const std::string m_metricsPath;
    Log& m_log;
    bool m_failing = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace recalld

#endif
