#ifndef TQBLK_TQBLKSTORELOCK_H
#define TQBLK_TQBLKSTORELOCK_H

#include <tqblk/TqBlkExport.h>
#include <zyutils/ZyError.h>

// An advisory lock on a store directory, for a process that changes a store's files beyond
// the library's own atomic steps: a recall service while it serves, a checker while it
// repairs. It is flock(2) on the directory itself, so it adds no file to the store, and the
// kernel drops it when the holder ends, however it ends. Two objects exclude each other even
// within one process. Store operations neither take nor look at it.
class TQBLK_EXPORT TqBlkStoreLock {
  public:
    TqBlkStoreLock() = default;
    // Releases the lock if held.
    ~TqBlkStoreLock();

    // Takes the lock on the store directory dir. With wait false, a lock held elsewhere fails
    // at once with EWOULDBLOCK and "Backing store %s is in use by another process"; with
    // wait true the call blocks until it is free. On failure nothing is held. Taking it again
    // on a held object first releases the old one.
    CZyError lock(const char* dir, bool wait = false);
    // Releases the lock; does nothing when none is held.
    void unlock();
    bool isLocked() const { return m_fd >= 0; }

  private:
    TqBlkStoreLock(const TqBlkStoreLock&) = delete;
    TqBlkStoreLock& operator=(const TqBlkStoreLock&) = delete;

    // A raw descriptor, closed in unlock(): this header is installed and cannot use the
    // internal descriptor holder.
    int m_fd = -1;
};

#endif
