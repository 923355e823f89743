#ifndef TQBLK_EMULATOR_STORECONFIG_H
#define TQBLK_EMULATOR_STORECONFIG_H

#include <string>

namespace tqemu {

// The sizes a backing store's "config" file records.
struct StoreMetrics {
    long long deviceSize = -1;
    long long extentSize = -1;
};

// Reads the device and extent size from the "config" file of the store directory dir, as
// the library opens a store. Returns 0, or the errno of the failed open: that of stat or of
// opening the file, ENOTDIR when dir is not a directory, EINVAL for a config file the
// library refuses.
int readStoreMetrics(const std::string& dir, StoreMetrics* metrics);

}  // namespace tqemu

#endif
