#include "Service.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace recalld {

Service::Service(ServiceOptions options, Source& source, Progress& progress)
    : m_options(std::move(options)), m_source(source), m_progress(progress) {}

int Service::run(const std::atomic<bool>& stop) {
    // Open the admin node before the workers share the driver object.
    CZyError err = m_driver.open();
    if (!err.IsError())
        err = m_driver.resubmitRecalls(m_options.uuid.c_str());
    if (err.IsError()) {
        m_progress.note("Couldn't start serving " + m_options.uuid + ":\n" + err.GetDescription());
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    std::vector<std::thread> workers;
    std::vector<int> results(static_cast<size_t>(m_options.workers), 0);
    for (size_t i = 0; i < results.size(); ++i)
        workers.emplace_back([this, &stop, &results, i] { results[i] = work(stop); });
    for (std::thread& t : workers)
        t.join();
    for (int r : results)
        if (r != 0)
            return r;
    return 0;
}

int Service::work(const std::atomic<bool>& stop) {
    // A store object serves one thread at a time, so each worker opens its own.
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(
        TqBlkRecallStore::open(m_options.recallStore.c_str(), &err));
    if (!store) {
        m_progress.note("Couldn't open the recall store:\n" + err.GetDescription());
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    while (!stop) {
        long long extent = -1;
        err = m_driver.getRecallRequest(m_options.uuid.c_str(), &extent);
        if (!err.IsError()) {
            serve(*store, extent);
            continue;
        }
        // The driver answers EAGAIN when no request came in time; look at stop and ask again.
        int e = err.GetErrNo();
        if (e == EAGAIN || e == EINTR || e == ETIMEDOUT)
            continue;
        if (stop)
            break;
        m_progress.note("Fetching a recall request failed:\n" + err.GetDescription());
        return e > 0 ? e : EIO;
    }
    return 0;
}

void Service::serve(TqBlkBackingStore& store, long long extent) {
    auto start = std::chrono::steady_clock::now();
    long long bytes = 0;
    std::string detail;
    int e = m_source.place(store, extent, &bytes, &detail);
    CZyError err = e == 0 ? m_driver.recallDone(m_options.uuid.c_str(), extent)
                          : m_driver.recallFailed(m_options.uuid.c_str(), extent, e);
    if (e != 0)
        m_progress.failed(extent, e, detail);
    else if (err.IsError())
        m_progress.failed(extent, err.GetErrNo(), err.GetDescription());
    else
        m_progress.recalled(extent, bytes,
                            std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start));
}

}  // namespace recalld
