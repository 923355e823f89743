#ifndef TQBLK_RECALLD_PLACEBYTES_H
#define TQBLK_RECALLD_PLACEBYTES_H

#include "SyncGroup.h"

#include <tqblk/TqBlkBackingStore.h>

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace recalld {

// What every source does with an extent's bytes once it has them: places them as extent
// `extent` of target, as a sparse extent when all zeros, else through a temporary file
// (durable before its move-in with sync). Returns 0 or an errno with *detail.
int placeExtentBytes(TqBlkBackingStore& target, long long extent, const char* data, size_t size,
                     SyncGroup* sync, std::string* detail);

// Removes the temporary file at temp unless another file (own's identity tells) took its
// name after ours moved in.
void dropTemp(const std::string& temp, const struct stat& own);

// A buffer of at least size bytes owned by the calling thread and kept between extents.
char* extentBuffer(size_t size);

// The byte range [*offset, *offset + *size) of the device that the extent covers.
void extentBytes(const TqBlkBackingStore& target, long long extent, long long* offset,
                 size_t* size);

}  // namespace recalld

#endif
