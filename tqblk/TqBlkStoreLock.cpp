#include <tqblk/TqBlkStoreLock.h>

#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

TqBlkStoreLock::~TqBlkStoreLock() {
    unlock();
}

CZyError TqBlkStoreLock::lock(const char* dir, bool wait) {
    unlock();
    if (dir == nullptr || *dir == '\0')
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "NULL or empty directory passed as input");
    // O_CLOEXEC (OpenRetrying adds it): a child the holder starts must not keep the store
    // locked after it ends.
    tqsys::UniqueFd fd = tqsys::OpenRetrying(dir, O_RDONLY | O_DIRECTORY);
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open backing store directory %s",
                                       dir);
    const int r =
        tqsys::RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB)); });
    if (r != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e,
                                           "Backing store %s is in use by another process", dir);
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't lock backing store directory %s", dir);
    }
    m_fd = fd.release();
    return CZyError::Success();
}

void TqBlkStoreLock::unlock() {
    // Closing the only descriptor of the open file releases the flock.
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
