// Device and tuning commands over the driver.

#include "Commands.h"
#include "ToolDriver.h"

#include <algorithm>
#include <cstdio>

namespace ctl {

int createDevice(const CreateDeviceArgs& a) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> priv;
    std::unique_ptr<TqBlkRecallStore> recall;
    if (!a.privateDir.empty())
        priv.reset(TqBlkPrivateStore::open(a.privateDir.c_str(), &err));
    if (!err.IsError() && !a.recallDir.empty())
        recall.reset(TqBlkRecallStore::open(a.recallDir.c_str(), &err));
    if (report(err, "create-device: opening a store"))
        return kExitFailed;
    tqtools::ToolDriver driver(g.adminNode);
    std::string name;
    err = a.autoAbort
              ? driver.createAutoAbortDevice(a.uuid.c_str(), priv.get(), recall.get(), &name)
              : driver.createDevice(a.uuid.c_str(), priv.get(), recall.get(), &name);
    if (report(err, "create-device", true))
        return kExitFailed;
    std::printf("%s\n", name.c_str());
    return kExitDone;
}

int driverCall(const std::string& what, const std::function<CZyError(TqBlkDriverUnix&)>& op) {
    tqtools::ToolDriver driver(g.adminNode);
    return report(op(driver), what, true);
}

int check(const std::string& uuid) {
    bool ready = false;
    if (driverCall("check",
                   [&](TqBlkDriverUnix& d) { return d.checkDevice(uuid.c_str(), &ready); }))
        return kExitFailed;
    std::printf("%s\n", ready ? "ready" : "not-ready");
    return kExitDone;
}

int getConfig(bool json) {
    int config = 0;
    if (driverCall("get-config", [&](TqBlkDriverUnix& d) { return d.getConfig(&config); }))
        return kExitFailed;
    if (json)
        printJson({{"config", config}});
    else
        std::printf("%d\n", config);
    return kExitDone;
}

CZyError mruOf(TqBlkDriverUnix& driver, const std::string& uuid, int room,
               std::vector<long long>* extents) {
    extents->assign(static_cast<size_t>(room), 0);
    int count = room;
    CZyError err = driver.getMRUExts(uuid.c_str(), extents->data(), &count);
    extents->resize(err.IsError() ? 0 : static_cast<size_t>(std::max(0, std::min(count, room))));
    return err;
}

int getMru(const std::string& uuid, int room, bool json) {
    std::vector<long long> extents;
    if (driverCall("get-mru", [&](TqBlkDriverUnix& d) { return mruOf(d, uuid, room, &extents); }))
        return kExitFailed;
    if (json) {
        printJson({{"device", uuid}, {"extents", extents}});
        return kExitDone;
    }
    for (long long extent : extents)
        std::printf("%lld\n", extent);
    return kExitDone;
}

}  // namespace ctl
