#ifndef TQBLK_STOREINTERNAL_H
#define TQBLK_STOREINTERNAL_H

// What the store's source files share. Not installed.

#include <tqblk/TqBlkBackingStore.h>
#include <zyutils/ZyError.h>

// The code location of a store site. Every store failure names "TqBlkBackingStore.cpp" as its
// file, whichever of the store's sources builds or passes it: callers filter on that name.
#define TQ_STORE_HERE (JQCodeLocation{"TqBlkBackingStore.cpp", __PRETTY_FUNCTION__, __LINE__})

namespace tqblk::store {

inline bool isPow2(long long value) {
    return value > 1 && (value & (value - 1)) == 0;
}

inline long long extentCountOf(long long deviceSize, int extentSize) {
    return (deviceSize - 1) / extentSize + 1;
}

// Whether uuid reads back unchanged from a config file (TqBlkStoreConfig.cpp).
bool uuidSurvivesConfig(const char* uuid);

// 7 * (group count - 1): the shift of the first group of the names of a store of
// extentCount extents; a count below 1 is taken as 1 (TqBlkExtentNames.cpp).
int firstGroupShift(long long extentCount);

}  // namespace tqblk::store

#endif
