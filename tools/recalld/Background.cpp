#include "Background.h"

#include "ErrnoText.h"
#include "Evictor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

namespace recalld {

using Clock = std::chrono::steady_clock;

int placeCatching(Source& source, TqBlkBackingStore& target, long long extent, SyncGroup* sync,
                  long long* bytes, std::string* detail) {
    try {
        return source.place(target, extent, sync, bytes, detail);
    } catch (const std::bad_alloc&) {
        *detail = "Not enough memory to bring in extent " + std::to_string(extent);
        return ENOMEM;
    } catch (const std::system_error& failure) {
        *detail = "Couldn't bring in extent " + std::to_string(extent) + ": " + failure.what();
        return failure.code().category() == std::generic_category() ||
                       failure.code().category() == std::system_category()
                   ? failure.code().value()
                   : EIO;
    }
}

Background::Background(BackgroundOptions options, std::string storeDir, Source& source,
                       SyncGroup* sync, Progress& progress)
    : m_options(options),
      m_storeDir(std::move(storeDir)),
      m_source(source),
      m_sync(sync),
      m_progress(progress) {}

Background::~Background() {
    stop();
}

int Background::start(std::string* detail) {
    int threads =
        (m_options.readahead > 0 ? m_options.readaheadWorkers : 0) + (m_options.hydrate ? 1 : 0);
    for (int i = 0; i < threads; ++i) {
        CZyError err;
        m_stores.emplace_back(TqBlkRecallStore::open(m_storeDir.c_str(), &err));
        if (!m_stores.back()) {
            *detail = "Couldn't open the recall store:\n" + err.GetDescription();
            m_stores.clear();
            return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
        }
    }
    if (m_stores.empty())
        return 0;
    m_extentSize = m_stores[0]->getExtentSize();
    m_extentCount = (m_stores[0]->getDeviceSize() + m_extentSize - 1) / m_extentSize;
    size_t next = 0;
    try {
        if (m_options.hydrate) {
            TqBlkBackingStore& store = *m_stores[next++];
            m_threads.emplace_back([this, &store] { hydrateLoop(store); });
        }
        for (; next < m_stores.size(); ++next) {
            TqBlkBackingStore& store = *m_stores[next];
            m_threads.emplace_back([this, &store] { readaheadLoop(store); });
        }
    } catch (const std::system_error& failure) {
        *detail = "Couldn't start a readahead or hydration thread: " + std::string(failure.what()) +
                  " (--readahead 0 turns readahead off)";
        stop();
        return EAGAIN;
    }
    return 0;
}

void Background::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    m_stores.clear();
}

void Background::demanded(long long extent) {
    if (m_options.readahead <= 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || m_stale)
        return;
    // Workers answer out of order: a recall a little behind the run neither grows nor
    // breaks it.
    if (extent < m_lastDemand && extent + 4 >= m_lastDemand)
        return;
    bool sequential = extent > m_lastDemand && extent <= std::max(m_runEnd, m_lastDemand) + 1;
    m_lastDemand = extent;
    if (!sequential) {
        m_window = 0;
        m_runEnd = extent;
        m_queue.clear();
        return;
    }
    m_window = std::min<long long>(std::max<long long>(2, m_window * 2), m_options.readahead);
    long long last = std::min(extent + m_window, m_extentCount - 1);
    for (long long e = std::max(m_runEnd, extent) + 1; e <= last; ++e)
        m_queue.push_back(e);
    m_runEnd = std::max(m_runEnd, last);
    m_wake.notify_all();
}

bool Background::awaitInFlight(long long extent) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_inFlight.count(extent) == 0)
        return false;
    ++m_waiters[extent];
    m_wake.wait(lock, [&] { return m_inFlight.count(extent) == 0; });
    int result = m_result[extent];
    if (--m_waiters[extent] == 0) {
        m_waiters.erase(extent);
        m_result.erase(extent);
    }
    return result == 0;
}

long long Background::hydratedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hydrated;
}

int Background::fill(TqBlkBackingStore& store, long long extent, const char* why,
                     long long* bytes) {
    *bytes = 0;
    bool present = false;
    CZyError err = store.checkExtentFile(extent, &present);
    if (!err.IsError() && present)
        return 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_stale || !m_inFlight.insert(extent).second)
            return ECANCELED;
    }
    std::string detail;
    int e = 0;
    {
        Evictor::Hold hold(m_options.evictor, extent, false);
        e = placeCatching(m_source, store, extent, m_sync, bytes, &detail);
        if (e == 0)
            hold.placed();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight.erase(extent);
        if (m_waiters.count(extent) > 0)
            m_result[extent] = e;
        if (e == ESTALE) {
            m_stale = true;
            m_queue.clear();
        }
    }
    m_wake.notify_all();
    if (e == 0)
        m_progress.placedInBackground();
    if (e != 0 && e != ECANCELED && e != ESTALE)
        m_progress.note(std::string(why) + " of extent " + std::to_string(extent) + " failed (" +
                        errnoText(e) + "): " + detail);
    return e;
}

void Background::readaheadLoop(TqBlkBackingStore& store) {
    for (;;) {
        long long extent;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            extent = m_queue.front();
            m_queue.pop_front();
        }
        long long bytes;
        fill(store, extent, "readahead", &bytes);
    }
}

bool Background::sleepUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_until(lock, when, [&] { return m_stop || m_stale; });
    return !m_stop && !m_stale;
}

// Under a store limit, hydration brings in extents only while they fit under the high mark:
// past it, eviction would remove what hydration brings, so it stops and says so.
bool Background::roomFor(long long extent, long long moved) {
    if (m_options.evictor == nullptr || m_options.evictor->roomFor(m_extentSize))
        return true;
    const EvictOptions& limits = m_options.evictor->options();
    m_progress.warning("hydration stopped at extent " + std::to_string(extent) + " of " +
                       std::to_string(m_extentCount) + " after " + std::to_string(moved) +
                       " bytes: the device does not fit under the recall store's limit of " +
                       std::to_string(limits.limit) + " bytes (high watermark " +
                       std::to_string(limits.highMark()) + "); demand recalls go on");
    return false;
}

long long Background::countPresent(TqBlkBackingStore& store) {
    long long present = 0;
    for (long long extent = 0; extent < m_extentCount; ++extent) {
        bool exists = false;
        if (!store.checkExtentFile(extent, &exists).IsError() && exists)
            ++present;
    }
    return present;
}

void Background::hydrateLoop(TqBlkBackingStore& store) {
    const double bytesPerSecond = m_options.hydrateRate * 1024 * 1024;
    auto started = Clock::now();
    Clock::time_point clock = started;  // when the next extent may start, at the rate
    auto lastNote = started;
    long long moved = 0;
    char rate[64] = "";
    if (bytesPerSecond > 0)
        std::snprintf(rate, sizeof rate, " at %.1f MiB/s", m_options.hydrateRate);
    m_progress.note("hydrating " + std::to_string(m_extentCount) + " extents" + rate);
    for (;;) {
        for (long long extent = 0; extent < m_extentCount; ++extent) {
            bool present = false;
            if (!store.checkExtentFile(extent, &present).IsError() && present)
                continue;
            if (!roomFor(extent, moved))
                return;
            if (bytesPerSecond > 0) {
                // Paced by the bytes moved: a late start is not made up with a burst.
                clock = std::max(clock, Clock::now() - std::chrono::milliseconds(100));
                if (!sleepUntil(clock))
                    return;
            }
            long long bytes = 0;
            int e = fill(store, extent, "hydration", &bytes);
            if (e == ECANCELED || e == ESTALE) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stop || m_stale)
                    return;
            }
            if (e == 0 && bytes > 0) {
                moved += bytes;
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_hydrated;
            }
            if (bytesPerSecond > 0)
                clock += std::chrono::microseconds(
                    static_cast<long long>(static_cast<double>(bytes) / bytesPerSecond * 1e6));
            if (Clock::now() - lastNote >= std::chrono::seconds(10)) {
                lastNote = Clock::now();
                m_progress.note("hydrating: at extent " + std::to_string(extent) + " of " +
                                std::to_string(m_extentCount) + ", " + std::to_string(moved) +
                                " bytes brought in");
            }
        }
        long long present = countPresent(store);
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        if (present == m_extentCount) {
            m_progress.note("device fully hydrated: " + std::to_string(present) + "/" +
                            std::to_string(m_extentCount) + " extents present; " +
                            std::to_string(moved) + " bytes brought in over " +
                            std::to_string(static_cast<long long>(seconds * 1000)) + " ms");
            return;
        }
        m_progress.note("hydration pass ended with " + std::to_string(present) + "/" +
                        std::to_string(m_extentCount) + " extents present; another pass in 5 s");
        if (!sleepUntil(Clock::now() + std::chrono::seconds(5)))
            return;
    }
}

}  // namespace recalld
