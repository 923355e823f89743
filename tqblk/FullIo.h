#ifndef TQBLK_FULLIO_H
#define TQBLK_FULLIO_H

// Transitional: the store sources still call these older forms; new code uses
// <tqsys/FullIo.h> (0 or -errno everywhere). Remove once nothing includes this header.
#include <tqsys/FullIo.h>

namespace tqblk {

// The count read (short only at end of file), or -errno.
inline ssize_t PreadFully(int fd, void* buffer, size_t size, off_t offset) {
    size_t got = 0;
    int r = tqsys::PreadFull(fd, buffer, size, offset, &got);
    return r < 0 ? r : static_cast<ssize_t>(got);
}

// 0 or the (positive) errno.
inline int PwriteFully(int fd, const void* buffer, size_t size, off_t offset) {
    return -tqsys::PwriteFull(fd, buffer, size, offset);
}

}  // namespace tqblk

#endif
