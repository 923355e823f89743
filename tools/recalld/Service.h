#ifndef TQBLK_RECALLD_SERVICE_H
#define TQBLK_RECALLD_SERVICE_H

#include "Background.h"
#include "Progress.h"
#include "Source.h"
#include "SyncGroup.h"

#include "ToolDriver.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace recalld {

class Evictor;

struct ServiceOptions {
    std::string uuid;         // the device served
    std::string recallStore;  // its recall store directory
    int workers = 2;
    // Make each placed extent durable before answering: its bytes, then its directory
    // entries, each with a sync of the store's file system shared by the workers waiting for
    // one. Off only for throwaway stores.
    bool sync = true;
    std::string adminNode;  // the driver's admin node; empty: the library's own
    // Called once the workers are serving (the service then tells systemd it is ready).
    std::function<void()> onServing;
    // Readahead and hydration beside the demand recalls.
    BackgroundOptions background;
    // Keeps the store under its limit; null when unbounded. Told of every placement.
    Evictor* evictor = nullptr;
};

// Serves the recall requests of one device until stop is set or the device goes away.
// Each worker fetches a request, has the source put the extent in place, makes it durable
// and answers recallDone, or recallFailed with the errno of what went wrong.
//
// What ends it: stop (SIGINT or SIGTERM), and a device the driver no longer knows (ENODEV:
// destroyed), which ends every worker with one log line. Any other failed fetch counts as a
// fetch without a request: it is logged once per run of failures and fetched again after a
// pause that grows from 50 ms to 2 s and starts over once a fetch works.
class Service {
  public:
    Service(ServiceOptions options, Source& source, Progress& progress);

    // Resubmits the device's outstanding requests (those a killed service had fetched) and
    // runs the workers until stop is set or the device is gone. Returns 0, or an errno when
    // the service could not start.
    int run(const std::atomic<bool>& stop);

  private:
    int work(const std::atomic<bool>& stop);
    bool fetch(const std::atomic<bool>& stop, long long* extent);
    void serve(TqBlkBackingStore& store, long long extent);

    ServiceOptions m_options;
    Source& m_source;
    Progress& m_progress;
    tqtools::ToolDriver m_driver;
    std::unique_ptr<SyncGroup> m_sync;         // null with sync off
    std::unique_ptr<Background> m_background;  // null without readahead and hydration
    std::atomic<long long> m_synced{0};        // extents made durable
    std::atomic<bool> m_deviceGone{false};
    std::atomic<int> m_driverGone{0};  // the errno that ended the admin connection, or 0
};

}  // namespace recalld

#endif
