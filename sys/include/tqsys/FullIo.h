#ifndef TQSYS_FULLIO_H
#define TQSYS_FULLIO_H

// Full reads and writes that retry interrupted and short transfers. Every helper here returns
// 0 on success or -errno on failure; none of them changes the descriptor's ownership.

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace tqsys {

namespace detail {

// Runs op(pointer, count, done) until size bytes moved, op reports 0 (end of file) or fails.
template <typename Op>
int transferFull(char* bytes, size_t size, size_t* moved, Op op) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = op(bytes + done, size - done, done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *moved = done;
            return -errno;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    *moved = done;
    return 0;
}

// An early end of file is fine when the caller asked how much came, else -ENODATA.
inline int readResult(int result, size_t size, size_t* got, size_t done) {
    if (result == 0 && got == nullptr && done < size)
        return -ENODATA;
    if (got != nullptr)
        *got = done;
    return result;
}

}  // namespace detail

// Reads size bytes. Stops early only at end of file: *got (when given) says how many came;
// without got an early end is -ENODATA.
inline int ReadFull(int fd, void* buffer, size_t size, size_t* got = nullptr) {
    size_t done = 0;
    int r = detail::transferFull(static_cast<char*>(buffer), size, &done,
                                 [fd](char* p, size_t n, size_t) { return ::read(fd, p, n); });
    return detail::readResult(r, size, got, done);
}

// Reads size bytes at offset, like ReadFull.
inline int PreadFull(int fd, void* buffer, size_t size, off_t offset, size_t* got = nullptr) {
    size_t done = 0;
    int r = detail::transferFull(static_cast<char*>(buffer), size, &done,
                                 [fd, offset](char* p, size_t n, size_t at) {
                                     return ::pread(fd, p, n, offset + static_cast<off_t>(at));
                                 });
    return detail::readResult(r, size, got, done);
}

// Writes all size bytes; a write that moves nothing is -EIO.
inline int WriteFull(int fd, const void* buffer, size_t size) {
    size_t done = 0;
    int r = detail::transferFull(const_cast<char*>(static_cast<const char*>(buffer)), size, &done,
                                 [fd](char* p, size_t n, size_t) { return ::write(fd, p, n); });
    return r == 0 && done < size ? -EIO : r;
}

// Writes all size bytes at offset, like WriteFull.
inline int PwriteFull(int fd, const void* buffer, size_t size, off_t offset) {
    size_t done = 0;
    int r = detail::transferFull(const_cast<char*>(static_cast<const char*>(buffer)), size, &done,
                                 [fd, offset](char* p, size_t n, size_t at) {
                                     return ::pwrite(fd, p, n, offset + static_cast<off_t>(at));
                                 });
    return r == 0 && done < size ? -EIO : r;
}

}  // namespace tqsys

#endif
