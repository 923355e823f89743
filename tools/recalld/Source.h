#ifndef TQBLK_RECALLD_SOURCE_H
#define TQBLK_RECALLD_SOURCE_H

#include "SyncGroup.h"

#include <tqblk/TqBlkBackingStore.h>

#include <memory>
#include <string>

namespace recalld {

// Where recalled extents come from. Implementations are shared by all workers and must be
// safe to call from several threads at once.
class Source {
  public:
    virtual ~Source() = default;
    // Puts extent `extent` of `target` (a recall store) in place. Returns 0 or an errno, and
    // sets *bytes to the extent's size in bytes on success. With sync, a file written for the
    // extent is durable before it is moved in; the caller still has to make the move durable.
    virtual int place(TqBlkBackingStore& target, long long extent, SyncGroup* sync,
                      long long* bytes, std::string* detail) = 0;
};

// A plain image file or block device holding the device's bytes from offset 0. Extents whose
// bytes are all zero become sparse extent files.
std::unique_ptr<Source> openImageSource(const std::string& path, std::string* detail);

// Another backing store, only ever read: extents are hard-linked when both stores have the
// same sizes and a link can be made (not across file systems), else copied. An extent absent
// from it reads as zeros, also where the store is read-only.
std::unique_ptr<Source> openStoreSource(const std::string& dir, std::string* detail);

}  // namespace recalld

#endif
