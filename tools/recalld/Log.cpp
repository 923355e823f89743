#include "Log.h"

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace recalld {
namespace {

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "?";
}

int priorityOf(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Info:
            return LOG_INFO;
        case LogLevel::Debug:
            return LOG_DEBUG;
    }
    return LOG_INFO;
}

// "2026-01-31T12:00:00.123Z"
std::string timestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc;
    gmtime_r(&seconds, &utc);
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03lldZ", ms);
    return text;
}

}  // namespace

Log::Log(LogSink sink, LogLevel threshold)
    : m_sink(sink),
      m_threshold(threshold),
      m_terminal(sink == LogSink::Stderr && ::isatty(STDERR_FILENO) == 1) {
    if (m_sink == LogSink::Syslog)
        ::openlog("tqblk-recalld", LOG_PID, LOG_DAEMON);
}

Log::~Log() {
    if (m_sink == LogSink::Syslog)
        ::closelog();
}

void Log::write(LogLevel level, const std::string& line) {
    if (!enabled(level))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    emit(level, line);
}

void Log::failure(LogLevel level, const std::string& line, const std::string& chain) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (enabled(level))
        emit(level, line);
    if (!enabled(LogLevel::Debug) || chain.empty())
        return;
    size_t start = 0;
    while (start < chain.size()) {
        size_t end = chain.find('\n', start);
        if (end == std::string::npos)
            end = chain.size();
        std::string part = chain.substr(start, end - start);
        size_t text = part.find_first_not_of(' ');
        if (text != std::string::npos)
            emit(LogLevel::Debug, "  " + part.substr(text));
        start = end + 1;
    }
}

void Log::emit(LogLevel level, const std::string& line) {
    switch (m_sink) {
        case LogSink::Syslog:
            ::syslog(priorityOf(level), "%s", line.c_str());
            return;
        case LogSink::Journal:
            sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%i", priorityOf(level),
                            "SYSLOG_IDENTIFIER=tqblk-recalld", nullptr);
            return;
        case LogSink::Stderr:
            break;
    }
    std::string text = timestamp() + " " + levelName(level) + ": " + line + "\n";
    if (m_terminal) {
        text = "\r\033[K" + text;
        if (m_status)
            text += m_status();
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

void Log::setStatus(std::function<std::string()> status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status = std::move(status);
}

void Log::redraw() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_terminal || !m_status)
        return;
    std::fprintf(stderr, "\r\033[K%s", m_status().c_str());
    std::fflush(stderr);
}

void Log::finishStatus(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status = nullptr;
    if (m_terminal)
        std::fputs("\r\033[K", stderr);
    if (enabled(LogLevel::Info))
        emit(LogLevel::Info, text);
}

}  // namespace recalld
