#include "Progress.h"

#include "ErrnoText.h"

#include <cstring>
#include <unistd.h>

namespace recalld {

Progress::Progress(FILE* out, bool quiet)
    : m_out(out), m_terminal(::isatty(::fileno(out)) == 1), m_quiet(quiet) {
    if (m_terminal)
        m_drawer = std::thread(&Progress::drawLoop, this);
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_drawer.joinable())
        m_drawer.join();
}

namespace {

long long steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Progress::recalled(long long extent, long long bytes, std::chrono::microseconds took) {
    long long none = 0;
    long long now = steadyNs();
    m_firstNs.compare_exchange_strong(none, now - took.count() * 1000);
    m_lastNs = now;
    ++m_recalled;
    m_bytes += bytes;
    if (!m_terminal && !m_quiet)
        line("recalled extent " + std::to_string(extent) + " (" + std::to_string(bytes) +
             " bytes) in " + std::to_string(took.count()) + " us");
}

void Progress::failed(long long extent, int error, const std::string& detail) {
    ++m_failed;
    std::string text = "failed extent " + std::to_string(extent) + ": " + errnoText(error);
    if (!detail.empty())
        text += "\n  " + detail;
    line(text);
}

void Progress::note(const std::string& text) {
    line(text);
}

void Progress::finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_terminal)
        std::fputs("\r\033[K", m_out);
    std::fprintf(m_out, "%s\n", statusLine(true).c_str());
    std::fflush(m_out);
}

std::string Progress::statusLine(bool final) const {
    long long first = m_firstNs.load();
    long long end = final ? m_lastNs.load() : steadyNs();
    double seconds = first == 0 ? 0.0 : static_cast<double>(end - first) / 1e9;
    double mib = static_cast<double>(m_bytes) / (1024.0 * 1024.0);
    char text[200];
    std::snprintf(text, sizeof text,
                  "recalled %lld extents (%.1f MiB), %.0f extents/s, %.1f MiB/s, %lld failed",
                  m_recalled.load(), mib, seconds > 0 ? m_recalled / seconds : 0.0,
                  seconds > 0 ? mib / seconds : 0.0, m_failed.load());
    return text;
}

void Progress::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_terminal)
        std::fputs("\r\033[K", m_out);
    std::fprintf(m_out, "%s\n", text.c_str());
    if (m_terminal)
        std::fputs(statusLine(false).c_str(), m_out);
    std::fflush(m_out);
}

void Progress::drawLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; })) {
        std::fprintf(m_out, "\r\033[K%s", statusLine(false).c_str());
        std::fflush(m_out);
    }
}

}  // namespace recalld
