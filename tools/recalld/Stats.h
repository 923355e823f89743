#ifndef TQBLK_RECALLD_STATS_H
#define TQBLK_RECALLD_STATS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace recalld {

class Log;

// The service's live counters. Thread-safe; the workers count, a writer thread of its own
// puts them in the stats file once a second (see StatsFile).
class Stats {
  public:
    Stats(std::string device, std::string recallStore, long long present, long long total);

    void fetched();              // a demand recall came in
    void done(long long bytes);  // and was put in place
    void failed(int error);      // or failed with this errno
    // How long an answered recall took, from its fetch: counted in a histogram.
    void took(std::chrono::microseconds latency);
    void setState(const std::string& state);

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
    mutable std::mutex m_mutex;  // guards what follows
    std::map<int, long long> m_failedByErrno;
    std::deque<Sample> m_samples;
    std::string m_state = "starting";
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
