#include "StoreConfig.h"

#include <tqblk/TqBlkBackingStore.h>

namespace tqemu {

int readStoreMetrics(const std::string& dir, StoreMetrics* metrics) {
    // The library's own reader, so the emulator accepts exactly the stores the library opens.
    TqBlkRecallStore store;
    CZyError err = store.openStore(dir.c_str());
    if (err.IsError())
        return err.GetErrNo();
    metrics->deviceSize = store.getDeviceSize();
    metrics->extentSize = store.getExtentSize();
    return 0;
}

}  // namespace tqemu
