#ifndef TQBLK_UNIQUEFD_H
#define TQBLK_UNIQUEFD_H

// Transitional: the store sources still name the holder here; new code uses <tqsys/UniqueFd.h>.
// Remove once nothing includes this header.
#include <tqsys/UniqueFd.h>

namespace tqblk {
using tqsys::UniqueFd;
}  // namespace tqblk

#endif
