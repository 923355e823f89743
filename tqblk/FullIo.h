#ifndef TQBLK_FULLIO_H
#define TQBLK_FULLIO_H

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tqblk {

// Reads up to size bytes at offset, as many as the file holds, retrying interrupted and
// short reads. Returns the count read (less than size only at the end of the file), or
// -errno.
inline ssize_t PreadFully(int fd, void* buffer, size_t size, off_t offset) {
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Writes all size bytes at offset, retrying interrupted and short writes. Returns 0 or the
// errno.
inline int PwriteFully(int fd, const void* buffer, size_t size, off_t offset) {
    const char* in = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd, in + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace tqblk

#endif
