#ifndef TQBLK_RECALLD_PROGRESS_H
#define TQBLK_RECALLD_PROGRESS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace recalld {

// Counts recalls and shows them: on a terminal one status line redrawn a few times a
// second; elsewhere one plain log line per event. Thread-safe.
class Progress {
  public:
    Progress(FILE* out, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void recalled(long long extent, long long bytes, std::chrono::microseconds took);
    void failed(long long extent, int error, const std::string& detail);
    void note(const std::string& text);
    // Prints the totals; called once at the end.
    void finish();

    long long recalledCount() const { return m_recalled; }
    long long failedCount() const { return m_failed; }

  private:
    void drawLoop();
    std::string statusLine(bool final) const;
    void line(const std::string& text);

    FILE* m_out;
    bool m_terminal;
    bool m_quiet;
    // When the first and the latest extent were recalled, in steady-clock nanoseconds; 0
    // before. Rates are measured between them (up to now while running), so the time a
    // service waits for requests before and after its work does not count.
    std::atomic<long long> m_firstNs{0};
    std::atomic<long long> m_lastNs{0};
    std::atomic<long long> m_recalled{0};
    std::atomic<long long> m_bytes{0};
    std::atomic<long long> m_failed{0};
    std::mutex m_mutex;  // one writer of the output at a time
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_drawer;
};

}  // namespace recalld

#endif
