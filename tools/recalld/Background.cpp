#include "Background.h"

#include "ErrnoText.h"
#include "Evictor.h"
#include "Hydrator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

namespace recalld {

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

int BackgroundFill::fill(TqBlkBackingStore& store, long long extent, const char* why,
                         long long* bytes) {
    *bytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (over() || !m_inFlight.insert(extent).second)
            return ECANCELED;
    }
    // Looked at once the extent is ours: a fill that ended just before must not be repeated.
    bool present = false;
    CZyError err = store.checkExtentFile(extent, &present);
    std::string detail;
    int e = 0;
    const bool missing = err.IsError() || !present;
    if (missing) {
        Evictor::Hold hold(m_evictor, extent, false);
        e = placeCatching(m_source, store, extent, m_sync, bytes, &detail);
        if (e == 0)
            hold.placed();
    }
    if (e == ESTALE)
        m_stale = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inFlight.erase(extent);
        auto it = m_waiters.find(extent);
        if (it != m_waiters.end()) {
            it->second->ended = true;
            it->second->result = e;
            it->second->done.notify_all();
            m_waiters.erase(it);
        }
    }
    if (e == 0 && missing)
        m_progress.placedInBackground();
    if (e != 0 && e != ECANCELED && e != ESTALE)
        m_progress.note(std::string(why) + " of extent " + std::to_string(extent) + " failed (" +
                        errnoText(e) + "): " + detail);
    return e;
}

bool BackgroundFill::await(long long extent) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_inFlight.count(extent) == 0)
        return false;
    std::shared_ptr<Waiters>& slot = m_waiters[extent];
    if (!slot)
        slot = std::make_shared<Waiters>();
    const std::shared_ptr<Waiters> waiters = slot;  // outlives its entry
    waiters->done.wait(lock, [&] { return waiters->ended; });
    return waiters->result == 0;
}

Background::Background(BackgroundOptions options, std::string storeDir, Source& source,
                       SyncGroup* sync, Progress& progress)
    : m_options(options),
      m_storeDir(std::move(storeDir)),
      m_progress(progress),
      m_fill(source, sync, options.evictor, progress) {}

Background::~Background() {
    stop();
}

int Background::start(std::string* detail) {
    const int threads =
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
    const long long extentSize = m_stores[0]->getExtentSize();
    m_window.reset(new ReadaheadWindow(
        m_options.readahead, (m_stores[0]->getDeviceSize() + extentSize - 1) / extentSize));
    size_t next = 0;
    try {
        if (m_options.hydrate) {
            m_hydrator.reset(new Hydrator(m_fill, *m_stores[next++], m_options.hydrateRate,
                                          m_options.evictor, m_progress));
            m_hydrator->start();
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
    m_fill.end();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_queued.notify_all();
    if (m_hydrator)
        m_hydrator->stop();
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    m_hydrator.reset();
    m_stores.clear();
}

void Background::demanded(long long extent) {
    if (m_options.readahead <= 0 || m_fill.over())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || !m_window)
        return;
    const ReadaheadWindow::Step step = m_window->demanded(extent);
    if (step.restart)
        m_queue.clear();
    for (long long e = step.first; e <= step.last; ++e)
        m_queue.push_back(e);
    if (step.first <= step.last)
        m_queued.notify_all();
}

void Background::readaheadLoop(TqBlkBackingStore& store) {
    for (;;) {
        long long extent;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_queued.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            extent = m_queue.front();
            m_queue.pop_front();
        }
        // A bounded store at its high mark takes no more guesses.
        if (m_options.evictor != nullptr &&
            !m_options.evictor->roomFor(store.getExtentSize(), true))
            continue;
        long long bytes;
        if (m_fill.fill(store, extent, "readahead", &bytes) == ESTALE) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.clear();
        }
    }
}

}  // namespace recalld
