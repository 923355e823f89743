#ifndef TQBLK_RECALLD_STARTUPCHECKS_H
#define TQBLK_RECALLD_STARTUPCHECKS_H

#include "Options.h"

#include <tqblk/TqBlkBackingStore.h>

#include <string>
#include <vector>

namespace recalld {

// Checks the source against the recall store's geometry before anything is served: an
// image or source store shorter than the device is refused unless --allow-short-source, a
// source store of another device size or the recall store itself is refused. Returns an
// empty text when the service may start, else the refusal with the numbers; notes receive
// what an operator should know (a longer image, extents copied rather than linked).
std::string checkSource(const Options& options, const TqBlkBackingStore& recall,
                        std::vector<std::string>* notes);

// The size in bytes of a regular file or block device; -errno on failure.
long long sourceSize(const std::string& path);

}  // namespace recalld

#endif
