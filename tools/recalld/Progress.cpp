#include "Progress.h"

#include "ErrorText.h"

namespace recalld {

Progress::Progress(Log& log, Stats& stats, bool quiet)
    : m_log(log), m_stats(stats), m_quiet(quiet) {
    if (m_log.onTerminal()) {
        m_log.setStatus([this] { return statusLine(); });
        m_drawer = std::thread(&Progress::drawLoop, this);
    }
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_drawer.joinable())
        m_drawer.join();
    m_log.setStatus(nullptr);
}

void Progress::recalled(long long extent, long long bytes, std::chrono::microseconds took,
                        bool placed) {
    m_stats.done(bytes, placed);
    m_stats.took(took);
    if (!m_log.onTerminal() && !m_quiet)
        m_log.write(LogLevel::Info, "recalled extent " + std::to_string(extent) + " (" +
                                        std::to_string(bytes) + " bytes) in " +
                                        std::to_string(took.count()) + " us");
}

void Progress::failed(long long extent, int error, const std::string& detail) {
    m_stats.failed(error);
    // A one-line detail (the source's) belongs on the line; a chain goes below it.
    bool oneLine = detail.find('\n') == std::string::npos;
    std::string line = "failed extent " + std::to_string(extent) + ": " + tqtools::errnoText(error);
    if (oneLine && !detail.empty())
        line += " (" + detail + ")";
    m_log.failure(LogLevel::Error, line, oneLine ? std::string() : detail);
}

void Progress::finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_drawer.joinable())
        m_drawer.join();
    char text[200];
    std::snprintf(text, sizeof text, "recalled %lld extents (%.1f MiB), %lld failed; ",
                  m_stats.doneCount(), static_cast<double>(m_stats.bytes()) / (1024.0 * 1024.0),
                  m_stats.failedCount());
    // The present count is unknown when the store could not be counted at start.
    m_log.finishStatus(text + (m_stats.present() < 0
                                   ? std::string("extents present unknown")
                                   : std::to_string(m_stats.present()) + " of " +
                                         std::to_string(m_stats.total()) + " extents present"));
}

std::string Progress::statusLine() const {
    long long present = m_stats.present(), total = m_stats.total();
    if (present < 0)
        present = m_stats.doneCount();  // not counted at start: at least those brought in since
    char text[200];
    std::snprintf(text, sizeof text,
                  "%lld/%lld extents present (%.1f%%), %.1f MiB/s, %.0f extents/s over the last "
                  "seconds, %lld in flight, %lld failed",
                  present, total, total > 0 ? 100.0 * static_cast<double>(present) / total : 0.0,
                  m_stats.bytesPerSecond() / (1024.0 * 1024.0), m_stats.extentsPerSecond(),
                  m_stats.inFlight(), m_stats.failedCount());
    return text;
}

void Progress::drawLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    int ticks = 0;
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; })) {
        if (++ticks % 4 == 0)
            m_stats.sample();
        m_log.redraw();
    }
}

}  // namespace recalld
