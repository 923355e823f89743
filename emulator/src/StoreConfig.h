#ifndef TQBLK_EMULATOR_STORECONFIG_H
#define TQBLK_EMULATOR_STORECONFIG_H

#include <string>

namespace tqemu {

// The sizes a backing store's "config" file records.
struct StoreMetrics {
    long long deviceSize = -1;
    long long extentSize = -1;
};

// Reads the device and extent size from the "config" file of the store directory dir.
// Returns 0, or an errno: that of stat or of opening the file, ENOTDIR when dir is not a
// directory, EINVAL when a size is missing. Lines are "key=value"; text after "#" and white
// space around keys and values are ignored, numbers take a 0x or 0 prefix for other bases.
int readStoreMetrics(const std::string& dir, StoreMetrics* metrics);

}  // namespace tqemu

#endif
