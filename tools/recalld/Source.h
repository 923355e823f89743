#ifndef TQBLK_RECALLD_SOURCE_H
#define TQBLK_RECALLD_SOURCE_H

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
    // sets *bytes to the extent's size in bytes on success.
    virtual int place(TqBlkBackingStore& target, long long extent, long long* bytes,
                      std::string* detail) = 0;
};

// A plain image file or block device holding the device's bytes from offset 0. Extents whose
// bytes are all zero become sparse extent files. `durable` syncs each file before it is
// moved in.
std::unique_ptr<Source> openImageSource(const std::string& path, bool durable, std::string* detail);

// Another backing store: extents are hard-linked when both stores have the same sizes,
// else copied. An extent absent from it reads as zeros.
std::unique_ptr<Source> openStoreSource(const std::string& dir, bool durable, std::string* detail);

}  // namespace recalld

#endif
