#ifndef TQBLK_RECALLD_LOG_H
#define TQBLK_RECALLD_LOG_H

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace recalld {

enum class LogLevel { Error = 0, Warning, Info, Debug };
enum class LogSink { Stderr, Syslog, Journal };

// The service's log: one line per event with a level, written to stderr (with a UTC
// timestamp), to syslog(3) or to the journal. A failure is one line at error or warning
// level; its error chain follows on indented lines at debug level only. Thread-safe.
class Log {
  public:
    Log(LogSink sink, LogLevel threshold);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    bool enabled(LogLevel level) const { return level <= m_threshold; }
    void write(LogLevel level, const std::string& line);
    // The first line at level, then each line of chain indented, at debug level.
    void failure(LogLevel level, const std::string& line, const std::string& chain);

    // On a terminal (stderr only): a status line kept below the log lines and redrawn by
    // redraw(); status gives its text.
    bool onTerminal() const { return m_terminal; }
    void setStatus(std::function<std::string()> status);
    void redraw();
    // Clears the status line for good and logs text in its place at info level.
    void finishStatus(const std::string& text);

  private:
    void emit(LogLevel level, const std::string& line);

    LogSink m_sink;
    LogLevel m_threshold;
    bool m_terminal;
    std::mutex m_mutex;
    std::function<std::string()> m_status;
};

}  // namespace recalld

#endif
