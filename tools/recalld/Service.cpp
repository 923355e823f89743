#include "Service.h"

#include "ErrnoText.h"
#include "Evictor.h"
#include "PlaceBytes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace recalld {
namespace {

// The pause after failed fetches: 50 ms, doubling to 2 s while they keep failing. Logs the
// first failure of a run, and a change of errno within it, rather than every retry.
class FetchBackoff {
  public:
    explicit FetchBackoff(Progress& progress) : m_progress(progress) {}

    void succeeded() {
        if (m_failures > 0)
            m_progress.note("fetching recall requests works again after " +
                            std::to_string(m_failures) + " failed attempts");
        m_failures = 0;
        m_lastError = 0;
        m_pause = kFirst;
    }

    // Logs the failure if it is news and sleeps, waking early on stop.
    void failed(const CZyError& err, tqtools::Interrupter& stop) {
        if (m_failures == 0 || err.GetErrNo() != m_lastError)
            m_progress.problem(tqtools::oneLine("Fetching a recall request failed", err) +
                                   "; retrying with pauses up to 2 s",
                               tqtools::chain(err));
        ++m_failures;
        m_lastError = err.GetErrNo();
        stop.sleep(m_pause.count());
        m_pause = std::min(m_pause * 2, kLast);
    }

  private:
    static constexpr std::chrono::milliseconds kFirst{50};
    static constexpr std::chrono::milliseconds kLast{2000};

    Progress& m_progress;
    long long m_failures = 0;
    int m_lastError = 0;
    std::chrono::milliseconds m_pause = kFirst;
};

constexpr std::chrono::milliseconds FetchBackoff::kFirst;
constexpr std::chrono::milliseconds FetchBackoff::kLast;

}  // namespace

Service::Service(ServiceOptions options, Source& source, Progress& progress)
    : m_options(std::move(options)),
      m_source(source),
      m_progress(progress),
      m_driver(m_options.adminNode) {}

int Service::run(tqtools::Interrupter& stop) {
    // Open the admin node before the workers share the driver object.
    std::string detail;
    int e = 0;
    if (m_options.sync)
        m_sync.reset(new SyncGroup(m_options.recallStore));
    CZyError err = m_driver.open();
    if (!err.IsError())
        err = m_driver.resubmitRecalls(m_options.uuid.c_str());
    if (err.IsError()) {
        m_progress.problem(tqtools::oneLine("Couldn't start serving " + m_options.uuid, err),
                           tqtools::chain(err));
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    // Readahead and hydration: threads and connections of their own, below the workers.
    if (m_options.background.any()) {
        m_background.reset(new Background(m_options.background, m_options.recallStore, m_source,
                                          m_sync.get(), m_progress));
        if ((e = m_background->start(&detail)) != 0) {
            const size_t newline = detail.find('\n');
            m_progress.problem(
                "Couldn't start serving " + m_options.uuid + ": " + detail.substr(0, newline),
                newline == std::string::npos ? "" : detail.substr(newline + 1));
            return e;
        }
    }
    // The system may refuse threads (a limit of processes, memory for their stacks): the
    // service then serves with those it has, and says so.
    std::vector<std::thread> workers;
    std::vector<int> results(static_cast<size_t>(m_options.workers), 0);
    m_progress.setWorkers(m_options.workers);
    for (size_t i = 0; i < results.size(); ++i) {
        try {
            workers.emplace_back([this, &stop, &results, i] { results[i] = work(stop); });
        } catch (const std::system_error& failure) {
            m_progress.problem("Couldn't start worker " + std::to_string(i + 1) + " of " +
                                   std::to_string(m_options.workers) + ": " + failure.what(),
                               "");
            break;
        }
    }
    if (workers.empty()) {
        if (m_background)
            m_background->stop();
        m_progress.problem("Couldn't start serving " + m_options.uuid + ": no worker started", "");
        return EAGAIN;
    }
    if (workers.size() < results.size())
        m_progress.warning("serving with " + std::to_string(workers.size()) + " of the " +
                           std::to_string(m_options.workers) +
                           " workers asked for: the system refused more threads");
    // Says how many serve once each worker tried to open its store object.
    int opened = 0;
    {
        std::unique_lock<std::mutex> lock(m_startMutex);
        m_started.wait(lock, [&] { return m_tried >= static_cast<int>(workers.size()); });
        opened = m_opened;
    }
    // A worker stopped before its first attempt is no failure to open: the service is ending.
    if (opened < static_cast<int>(workers.size()) && !stop.interrupted())
        m_progress.warning(std::to_string(workers.size() - static_cast<size_t>(opened)) + " of " +
                           std::to_string(workers.size()) +
                           " workers take no requests until they can open the recall store");
    if (m_options.onServing)
        m_options.onServing(opened);
    for (std::thread& t : workers)
        t.join();
    if (m_background)
        m_background->stop();
    if (m_sync && m_sync->dataSyncs() + m_sync->directorySyncs() > 0)
        m_progress.note(std::to_string(m_sync->dataSyncs()) + " file syncs and " +
                        std::to_string(m_sync->directorySyncs()) + " directory syncs for " +
                        std::to_string(m_synced) + " extents");
    for (int r : results)
        if (r != 0)
            return r;
    return m_driverGone;
}

int Service::work(tqtools::Interrupter& stop) {
    // A store object serves one thread at a time, so each worker opens its own.
    int e = 0;
    bool told = false;
    auto tried = [&](bool opened) {
        if (told)
            return;
        told = true;
        std::lock_guard<std::mutex> lock(m_startMutex);
        ++m_tried;
        m_opened += opened ? 1 : 0;
        m_started.notify_all();
    };
    std::unique_ptr<TqBlkRecallStore> store = openStore(stop, &e, tried);
    tried(false);  // stopped before a first attempt
    if (!store)
        return e;
    m_progress.workerWorking(true);
    long long extent = -1;
    while (fetch(stop, &extent))
        serve(*store, extent);
    m_progress.workerWorking(false);
    return 0;
}

// A worker's own store object. Where the system lacks what it takes (descriptors, memory),
// the worker takes no requests, says so, and tries again after pauses while the others serve;
// other failures end the worker with their errno in *error. Null also once the service is to
// end.
std::unique_ptr<TqBlkRecallStore> Service::openStore(tqtools::Interrupter& stop, int* error,
                                                     const std::function<void(bool)>& tried) {
    auto pause = std::chrono::milliseconds(50);
    int lastError = 0;
    while (!stop.interrupted() && !m_deviceGone && m_driverGone == 0) {
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store;
        int e = 0;
        try {
            store.reset(TqBlkRecallStore::open(m_options.recallStore.c_str(), &err));
            e = store ? 0 : err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
        } catch (const std::bad_alloc&) {
            e = ENOMEM;
        }
        tried(store != nullptr);
        if (store) {
            if (lastError != 0)
                m_progress.note("a worker opened the recall store and takes requests again");
            return store;
        }
        const std::string line = err.IsError()
                                     ? tqtools::oneLine("Couldn't open the recall store", err)
                                     : "Couldn't open the recall store: " + errnoText(e);
        if (e != EMFILE && e != ENFILE && e != ENOMEM && e != EAGAIN) {
            m_progress.problem(line + "; a worker ends", tqtools::chain(err));
            *error = e;
            return nullptr;
        }
        if (e != lastError)
            m_progress.problem(line + "; a worker takes no requests until it can (see " +
                                   "workers_working in the stats), retrying with pauses up to 2 s",
                               tqtools::chain(err));
        lastError = e;
        stop.sleep(pause.count());
        pause = std::min(pause * 2, std::chrono::milliseconds(2000));
    }
    return nullptr;
}

// Waits for the next request; false once the service is to end.
bool Service::fetch(tqtools::Interrupter& stop, long long* extent) {
    FetchBackoff backoff(m_progress);
    while (!stop.interrupted() && !m_deviceGone && m_driverGone == 0) {
        CZyError err = m_driver.getRecallRequest(m_options.uuid.c_str(), extent);
        int e = err.GetErrNo();
        // The driver answers EAGAIN when no request came in time: it works, ask again.
        if (!err.IsError() || e == EAGAIN || e == EINTR || e == ETIMEDOUT) {
            backoff.succeeded();
            if (!err.IsError()) {
                m_progress.fetched();
                return true;
            }
        } else if (e == ENODEV) {
            // The driver knows no such device any more: it was destroyed, for good.
            if (!m_deviceGone.exchange(true))
                m_progress.note("device " + m_options.uuid + " is gone (" + errnoText(e) +
                                "); stopping");
        } else if (e == ENOTCONN) {
            // The admin node's connection is broken for good (the driver went away); this
            // descriptor never answers again, so end with a failure and let a supervisor
            // start the service anew once the driver is back.
            if (m_driverGone.exchange(ENOTCONN) == 0)
                m_progress.note("the driver's admin node no longer answers (" + errnoText(e) +
                                "); stopping");
        } else if (!stop.interrupted()) {
            backoff.failed(err, stop);
        }
    }
    return false;
}

void Service::serve(TqBlkBackingStore& store, long long extent) {
    auto start = std::chrono::steady_clock::now();
    long long bytes = 0;
    std::string detail;
    int e = -1;
    Evictor::Hold hold(m_options.evictor, extent, true);
    bool placed = true;  // false: readahead or hydration placed it, and counted it
    if (m_background) {
        m_background->demanded(extent);
        // Being brought in already by readahead or hydration: that fetch is the quickest.
        if (m_background->awaitInFlight(extent)) {
            long long offset = 0;
            size_t size = 0;
            extentBytes(store, extent, &offset, &size);
            bytes = static_cast<long long>(size);
            e = 0;
            placed = false;
        }
    }
    if (e != 0)
        e = placeCatching(m_source, store, extent, m_sync.get(), &bytes, &detail);
    // The service is stopping: the extent is left unanswered for its next run to resubmit.
    if (e == ECANCELED) {
        m_progress.note("left extent " + std::to_string(extent) + " for the next run");
        return;
    }
    // In place: the evictor may count it from now on, though its answer may wait for the
    // directory sync below.
    if (e == 0)
        hold.placed();
    // The extent's directory entry, and those of directories made on the way, must be on the
    // disk before the driver may rely on them. The grouped directory sync answers it, while
    // this worker goes on to its next request (unless it leads that sync).
    std::string path;
    if (e == 0 && m_sync && (e = entryPath(store, extent, &path, &detail)) == 0) {
        m_sync->syncEntriesOf(
            path, store.getDir() + "/data",
            [this, extent, bytes, start, placed](int error, const std::string& why) {
                answer(extent, error, why, bytes, start, placed);
            });
        return;
    }
    answer(extent, e, detail, bytes, start, placed);
}

void Service::answer(long long extent, int e, const std::string& detail, long long bytes,
                     std::chrono::steady_clock::time_point start, bool placed) {
    if (e == 0 && m_sync)
        ++m_synced;
    if (m_sync)
        m_progress.synced(m_sync->dataSyncs(), m_sync->directorySyncs());
    CZyError err = e == 0 ? m_driver.recallDone(m_options.uuid.c_str(), extent)
                          : m_driver.recallFailed(m_options.uuid.c_str(), extent, e);
    if (e != 0)
        m_progress.failed(extent, e, detail);
    else if (err.IsError())
        m_progress.failed(extent, err.GetErrNo(), err.GetDescription());
    else
        m_progress.recalled(extent, bytes,
                            std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start),
                            placed);
}

int Service::entryPath(TqBlkBackingStore& store, long long extent, std::string* path,
                       std::string* detail) {
    CZyError err = store.getExtentFileName(extent, path);
    if (err.IsError()) {
        *detail = err.GetDescription();
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    return 0;
}

}  // namespace recalld
