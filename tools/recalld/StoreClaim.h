#ifndef TQBLK_RECALLD_STORECLAIM_H
#define TQBLK_RECALLD_STORECLAIM_H

#include <tqblk/TqBlkStoreLock.h>

#include <string>

namespace recalld {

// Makes the service the only one that serves the recall store at dir: takes *lock on it
// without waiting, checks that dir is a store (its config reads), then removes what a
// service that was killed left in the store's "tmp" directory (links are removed, never
// followed; nothing outside "tmp", nor on another mount, is touched).
// Returns 0 with *removed set to the number of entries removed, or an errno with *message
// saying why the service cannot start (its first line; an error chain may follow on the
// next lines): EWOULDBLOCK when another process holds the store.
int claimRecallStore(const std::string& dir, TqBlkStoreLock* lock, int* removed,
                     std::string* message);

}  // namespace recalld

#endif
