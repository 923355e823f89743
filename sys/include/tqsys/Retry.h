#ifndef TQSYS_RETRY_H
#define TQSYS_RETRY_H

#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>

namespace tqsys {

// Calls fn again while it fails (returns -1) with EINTR; returns its last result, errno kept.
// For calls that can be interrupted: read, write, open of FIFOs, ioctl, flock, waitpid...
// Never for close.
template <typename Fn>
auto RetryOnEintr(Fn fn) -> decltype(fn()) {
    decltype(fn()) result;
    do {
        result = fn();
    } while (result == -1 && errno == EINTR);
    return result;
}

// open(2) retried on EINTR, O_CLOEXEC added; an empty holder on failure, errno set.
inline UniqueFd OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    return UniqueFd(RetryOnEintr([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
}

// openat(2) retried on EINTR, O_CLOEXEC added; an empty holder on failure, errno set.
inline UniqueFd OpenAtRetrying(int dirFd, const char* name, int flags, mode_t mode = 0) {
    return UniqueFd(RetryOnEintr([&] { return ::openat(dirFd, name, flags | O_CLOEXEC, mode); }));
}

}  // namespace tqsys

#endif
