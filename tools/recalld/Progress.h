#ifndef TQBLK_RECALLD_PROGRESS_H
#define TQBLK_RECALLD_PROGRESS_H

#include "Log.h"
#include "Stats.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace recalld {

// What the service tells its operator: counts each recall in Stats and logs it. On a
// terminal a status line (present/total, percentage, the rate over the last seconds) is
// redrawn a few times a second below the log; elsewhere each recalled extent is one log
// line unless quiet. Thread-safe.
class Progress {
  public:
    Progress(Log& log, Stats& stats, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void fetched() { m_stats.fetched(); }
    void setWorkers(int wanted) { m_stats.setWorkers(wanted); }
    void workerWorking(bool working) { m_stats.workerWorking(working); }
    // placed false: readahead or hydration had put the extent in place (counted there).
    void recalled(long long extent, long long bytes, std::chrono::microseconds took,
                  bool placed = true);
    // Readahead or hydration put an extent in place.
    void placedInBackground() { m_stats.placed(); }
    void synced(long long files, long long directories) { m_stats.setSyncs(files, directories); }
    void failed(long long extent, int error, const std::string& detail);
    void note(const std::string& text) { m_log.write(LogLevel::Info, text); }
    void warning(const std::string& text) { m_log.write(LogLevel::Warning, text); }
    // A failure: one line, its chain on indented lines at debug level.
    void problem(const std::string& line, const std::string& chain) {
        m_log.failure(LogLevel::Error, line, chain);
    }
    // Prints the totals; called once at the end.
    void finish();

    long long recalledCount() const { return m_stats.doneCount(); }
    long long failedCount() const { return m_stats.failedCount(); }

  private:
    void drawLoop();
    std::string statusLine() const;

    Log& m_log;
    Stats& m_stats;
    bool m_quiet;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_drawer;
};

}  // namespace recalld

#endif
