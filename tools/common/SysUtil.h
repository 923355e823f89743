#ifndef TQBLK_TOOLS_SYSUTIL_H
#define TQBLK_TOOLS_SYSUTIL_H

// Small system-call helpers of both tools. The tools build against the library's
// installed interface only (its public headers), so they cannot use the tree's internal
// descriptor toolkit (sys/include/tqsys, never installed) and keep these copies instead.

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <unistd.h>

namespace tqtools {

// Owns a descriptor; closes it on every path out.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

  private:
    int m_fd;
};

// open(2), retried when a signal interrupts it. Returns the descriptor or -1 with errno set.
inline int openRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// openat(2), retried likewise.
inline int openAtRetrying(int dirFd, const char* path, int flags) {
    int fd;
    do {
        fd = ::openat(dirFd, path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all size bytes of data to fd, retrying after a signal. Returns 0 or the errno.
inline int writeFully(int fd, const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Reads exactly size bytes at offset, retrying after a signal. Returns 0, EIO when the file
// ends before, or the errno.
inline int preadExactly(int fd, char* buffer, size_t size, long long offset) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace tqtools

#endif
