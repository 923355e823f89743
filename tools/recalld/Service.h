#ifndef TQBLK_RECALLD_SERVICE_H
#define TQBLK_RECALLD_SERVICE_H

#include "Progress.h"
#include "Source.h"

#include <tqblk/unix/TqBlkDriverUnix.h>

#include <atomic>
#include <string>

namespace recalld {

struct ServiceOptions {
    std::string uuid;         // the device served
    std::string recallStore;  // its recall store directory
    int workers = 2;
};

// Serves the recall requests of one device until stop is set or the device goes away.
// Each worker fetches a request, has the source put the extent in place, and answers
// recallDone, or recallFailed with the errno of what went wrong.
class Service {
  public:
    Service(ServiceOptions options, Source& source, Progress& progress);

    // Resubmits the device's outstanding requests (those a killed service had fetched) and
    // runs the workers until stop is set. Returns 0, or an errno when the service could not
    // start or the device failed.
    int run(const std::atomic<bool>& stop);

  private:
    int work(const std::atomic<bool>& stop);
    void serve(TqBlkBackingStore& store, long long extent);

    ServiceOptions m_options;
    Source& m_source;
    Progress& m_progress;
    TqBlkDriverUnix m_driver;
};

}  // namespace recalld

#endif
