#ifndef TQBLK_RECALLD_SERVICE_H
#define TQBLK_RECALLD_SERVICE_H

#include "Background.h"
#include "Progress.h"
#include "Source.h"
#include "SyncGroup.h"

#include "Retry.h"
#include "ToolDriver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace recalld {

class Evictor;

struct ServiceOptions {
    std::string uuid;         // the device served
    std::string recallStore;  // its recall store directory
    int workers = 2;
    // Make each placed extent durable before answering: its bytes synced through its own
    // descriptor before its move-in, then its directory entries with directory syncs shared
    // by the workers, whose leader answers the extents they cover. Off only for throwaway
    // stores.
    bool sync = true;
    std::string adminNode;  // the driver's admin node; empty: the library's own
    // Called once the workers are serving, with the count of those able to take requests (the
    // service then tells systemd it is ready).
    std::function<void(int workers)> onServing;
    // Readahead and hydration beside the demand recalls.
    BackgroundOptions background;
    // Keeps the store under its limit; null when unbounded. Told of every placement.
    Evictor* evictor = nullptr;
};

// Serves the recall requests of one device until stop or until the device goes away.
// Each worker fetches a request, has the source put the extent in place, makes it durable
// and answers recallDone, or recallFailed with the errno of what went wrong: a resource the
// system refuses for one extent (memory, descriptors) fails that recall alone.
//
// What ends it: stop (SIGINT or SIGTERM), and a device the driver no longer knows (ENODEV:
// destroyed), which ends every worker with one log line. Any other failed fetch counts as a
// fetch without a request: it is logged once per run of failures and fetched again after a
// pause that grows from 50 ms to 2 s and starts over once a fetch works.
class Service {
  public:
    Service(ServiceOptions options, Source& source, Progress& progress);

    // Resubmits the device's outstanding requests (those a killed service had fetched) and
    // runs the workers until stop or until the device is gone. Returns 0, or an errno when
    // the service could not start.
    int run(tqtools::Interrupter& stop);

  private:
    int work(tqtools::Interrupter& stop);
    // tried: told after each attempt whether it opened the store.
    std::unique_ptr<TqBlkRecallStore> openStore(tqtools::Interrupter& stop, int* error,
                                                const std::function<void(bool)>& tried);
    bool fetch(tqtools::Interrupter& stop, long long* extent);
    void serve(TqBlkBackingStore& store, long long extent);
    // Tells the driver the outcome of extent's recall (e: 0 or its errno) and counts it;
    // placed false when readahead or hydration placed the extent (and counted it there).
    void answer(long long extent, int e, const std::string& detail, long long bytes,
                std::chrono::steady_clock::time_point start, bool placed);
    static int entryPath(TqBlkBackingStore& store, long long extent, std::string* path,
                         std::string* detail);

    ServiceOptions m_options;
    Source& m_source;
    Progress& m_progress;
    tqtools::ToolDriver m_driver;
    std::unique_ptr<SyncGroup> m_sync;         // null with sync off
    std::unique_ptr<Background> m_background;  // null without readahead and hydration
    std::atomic<long long> m_synced{0};        // extents made durable
    std::atomic<bool> m_deviceGone{false};
    std::atomic<int> m_driverGone{0};   // the errno that ended the admin connection, or 0
    std::mutex m_startMutex;            // guards the workers' first attempts to open the store:
    std::condition_variable m_started;  // told of each
    int m_tried = 0;                    // workers that tried
    int m_opened = 0;                   // and those that opened it
};

}  // namespace recalld

#endif
