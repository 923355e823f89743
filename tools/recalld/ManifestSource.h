#ifndef TQBLK_RECALLD_MANIFESTSOURCE_H
#define TQBLK_RECALLD_MANIFESTSOURCE_H

#include "HttpSource.h"
#include "Source.h"

#include <memory>
#include <string>

namespace recalld {

// A published image, recalled chunk by chunk: each extent's chunk is fetched from the image
// root by its digest, decoded and checked against the digest before a byte of it is placed;
// all-zero extents become sparse ones. A chunk that fails its check is fetched again a few
// times (a proxy or the network may have damaged it), then the recall fails with EIO naming
// its digest, and nothing is placed.
//
// With chunkCache (a directory, shared by every service of the host), checked extents are
// kept there as files named by their digest ("ab/abcd..."), and an extent found there, once
// its bytes are checked again, is hard-linked into the recall store rather than fetched.
//
// Opens the manifest at start and checks it against the recall store in storeDir: its extent
// size must be the store's, its size must cover the device unless allowShort. *note receives
// what the log should say about it. Null with *detail when the service must not start.
std::unique_ptr<Source> openManifestForStore(const std::string& source,
                                             const RemoteOptions& options,
                                             const std::string& chunkCache,
                                             const std::string& storeDir, bool allowShort,
                                             std::string* note, std::string* detail);

}  // namespace recalld

#endif
