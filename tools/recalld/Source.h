#ifndef TQBLK_RECALLD_SOURCE_H
#define TQBLK_RECALLD_SOURCE_H

#include "SyncGroup.h"

#include <tqblk/TqBlkBackingStore.h>

#include <functional>
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

    // The source's size in bytes, or -1 when it has none of its own (a store).
    virtual long long size() const { return -1; }
    // What names this version of the source's bytes (an ETag or Last-Modified), or "".
    virtual std::string version() const { return ""; }
    // Where the source reports, once rather than per extent, a failure that lasts (every
    // later recall fails): the log gives it as an error.
    virtual void setNote(std::function<void(const std::string&)> note) { (void)note; }
    // Attempts made again after one that failed; a source that never retries keeps 0.
    virtual long long retries() const { return 0; }
    // Bytes the source fetched from where it keeps them, when it counts them; else -1.
    virtual long long bytesFetched() const { return -1; }
    // Ends the waits and transfers in progress and to come: place() then returns ECANCELED
    // and the extent is left for the driver to ask again.
    virtual void interrupt() {}
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
