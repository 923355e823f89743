#include "Stats.h"

#include "ErrorText.h"
#include "Log.h"
#include "Metrics.h"

#include <nlohmann/json.hpp>
#include <tqsys/FullIo.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace recalld {

Stats::Stats(std::string device, std::string recallStore, long long present, long long total)
    : m_device(std::move(device)),
      m_recallStore(std::move(recallStore)),
      m_total(total),
      m_started(std::chrono::steady_clock::now()),
      m_present(present) {
    sample();
}

void Stats::fetched() {
    ++m_demand;
    ++m_inFlight;
}

void Stats::done(long long bytes, bool placed) {
    --m_inFlight;
    ++m_done;
    m_bytes += bytes;
    if (placed)
        countPresent();
}

void Stats::placed() {
    ++m_backgroundPlaced;
    countPresent();
}

void Stats::setSyncs(long long files, long long directories) {
    // Answers come from several threads: keep the largest counts seen.
    for (long long seen = m_fileSyncs.load();
         files > seen && !m_fileSyncs.compare_exchange_weak(seen, files);) {
    }
    for (long long seen = m_directorySyncs.load();
         directories > seen && !m_directorySyncs.compare_exchange_weak(seen, directories);) {
    }
}

void Stats::countPresent() {
    long long present = m_present.load();
    while (present >= 0 && present < m_total &&
           !m_present.compare_exchange_weak(present, present + 1)) {
    }
}

void Stats::failed(int error) {
    --m_inFlight;
    ++m_failed;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_failedByErrno[error];
}

const double Stats::kLatencyBounds[kLatencyBuckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                       0.25,  0.5,    1,     2.5,  5,     10,   30};

void Stats::took(std::chrono::microseconds latency) {
    const double seconds = static_cast<double>(latency.count()) / 1e6;
    int bucket = 0;
    while (bucket < kLatencyBuckets && seconds > kLatencyBounds[bucket])
        ++bucket;
    ++m_latency[bucket];
    m_latencyMicros += latency.count();
}

void Stats::setState(const std::string& state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = state;
}

void Stats::setStoreUse(const StoreUse& use) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Evicted extents are no longer present; a count that is unknown stays so.
    if (m_present >= 0)
        m_present -= use.evictions - m_storeUse.evictions;
    m_storeUse = use;
}

void Stats::sample() {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samples.push_back({now, m_bytes.load(), m_done.load()});
    while (m_samples.size() > 2 && now - m_samples[1].at >= std::chrono::seconds(kWindowSeconds))
        m_samples.pop_front();
}

namespace {

template <class Samples, class Value>
double ratePer(const Samples& samples, Value value) {
    if (samples.size() < 2)
        return 0.0;
    double seconds = std::chrono::duration<double>(samples.back().at - samples.front().at).count();
    return seconds > 0
               ? static_cast<double>(value(samples.back()) - value(samples.front())) / seconds
               : 0.0;
}

}  // namespace

double Stats::bytesPerSecond() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ratePer(m_samples, [](const Sample& s) { return s.bytes; });
}

double Stats::extentsPerSecond() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ratePer(m_samples, [](const Sample& s) { return s.done; });
}

std::string Stats::json() const {
    nlohmann::json byErrno = nlohmann::json::object();
    std::string state;
    StoreUse use;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_failedByErrno)
            byErrno[tqtools::errnoName(entry.first)] = entry.second;
        state = m_state;
        use = m_storeUse;
    }
    nlohmann::json document = {
        {"device", m_device},
        {"recall_store", m_recallStore},
        {"pid", static_cast<long long>(::getpid())},
        {"state", state},
        {"updated", static_cast<long long>(std::time(nullptr))},
        {"uptime_seconds", std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - m_started)
                               .count()},
        {"demand_recalls", m_demand.load()},
        {"in_flight", m_inFlight.load()},
        {"done", m_done.load()},
        {"failed", m_failed.load()},
        {"failed_by_errno", byErrno},
        {"bytes", m_bytes.load()},
        {"extents_present",
         m_present.load() >= 0 ? nlohmann::json(m_present.load()) : nlohmann::json()},
        {"background_placed", m_backgroundPlaced.load()},
        {"file_syncs", m_fileSyncs.load()},
        {"directory_syncs", m_directorySyncs.load()},
        {"remote_retries", m_retries ? m_retries() : 0LL},
        {"workers", m_workersWanted.load()},
        {"workers_working", m_workersWorking.load()},
        {"extent_count", m_total},
        {"bytes_per_second", bytesPerSecond()},
        {"extents_per_second", extentsPerSecond()}};
    const long long fetched = m_fetched ? m_fetched() : -1;
    if (fetched >= 0)
        document["source_bytes_fetched"] = fetched;
    if (use.limit > 0) {
        // Hits are the reads of present extents the MRU list showed: a lower bound, since
        // reads of one extent between two looks at the list count once.
        const long long reads = use.hitsSeen + m_done.load();
        document["store_limit"] = use.limit;
        document["store_used_bytes"] = use.used;
        document["evictions"] = use.evictions;
        document["evicted_bytes"] = use.evictedBytes;
        document["remisses"] = use.remisses;
        document["hits_seen"] = use.hitsSeen;
        document["hit_ratio"] = reads > 0 ? static_cast<double>(use.hitsSeen) / reads : 0.0;
        document["limit_unmet"] = use.unmet;
    }
    // Cumulative counts per upper bound, as Prometheus' histograms have them.
    nlohmann::json buckets = nlohmann::json::array();
    long long count = 0;
    for (int i = 0; i <= kLatencyBuckets; ++i) {
        count += m_latency[i].load();
        buckets.push_back(i < kLatencyBuckets ? nlohmann::json{kLatencyBounds[i], count}
                                              : nlohmann::json{"+Inf", count});
    }
    document["recall_seconds"] = {{"buckets", buckets},
                                  {"sum", static_cast<double>(m_latencyMicros.load()) / 1e6},
                                  {"count", count}};
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

StatsFile::StatsFile(Stats& stats, std::string path, std::string metricsPath, Log& log)
    : m_stats(stats), m_path(std::move(path)), m_metricsPath(std::move(metricsPath)), m_log(log) {
    m_thread = std::thread(&StatsFile::loop, this);
}

StatsFile::~StatsFile() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

namespace {

// Puts text at path atomically: a temporary file beside it, renamed over it.
int replaceFile(const std::string& path, const std::string& text, std::string* detail) {
    std::vector<char> temp(path.begin(), path.end());
    const std::string suffix = ".XXXXXX";
    temp.insert(temp.end(), suffix.begin(), suffix.end());
    temp.push_back('\0');
    tqsys::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        int e = errno;
        *detail = "Couldn't create a temporary file beside " + path + ": " + tqtools::errnoText(e);
        return e;
    }
    int e = -tqsys::WriteFull(fd.get(), text.data(), text.size());
    // Readable by operators who may not write it; mkostemp made it 0600.
    if (e == 0 && ::fchmod(fd.get(), 0644) != 0)
        e = errno;
    if (e == 0 && ::rename(temp.data(), path.c_str()) != 0)
        e = errno;
    if (e != 0) {
        ::unlink(temp.data());
        *detail = "Couldn't write " + path + ": " + tqtools::errnoText(e);
    }
    return e;
}

}  // namespace

int StatsFile::writeNow(std::string* detail) {
    std::string json = m_stats.json();
    int e = m_path.empty() ? 0 : replaceFile(m_path, json, detail);
    if (e == 0 && !m_metricsPath.empty())
        e = replaceFile(m_metricsPath, metricsText(json), detail);
    return e;
}

void StatsFile::loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        bool stopping = m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; });
        m_stats.sample();
        std::string detail;
        int e = writeNow(&detail);
        if (e != 0 && !m_failing)
            m_log.write(LogLevel::Warning, detail + " (stats are not updated until it works)");
        else if (e == 0 && m_failing)
            m_log.write(LogLevel::Info, "writing the counters works again");
        m_failing = e != 0;
        if (stopping)
            return;
    }
}

}  // namespace recalld
