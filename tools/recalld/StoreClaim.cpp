#include "StoreClaim.h"

#include "ErrnoText.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqsys/Retry.h>

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace recalld {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// Counts the entries of the directory open at fd, without "." and "..". Takes fd over.
int countEntries(int fd, int* count) {
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        int e = errno;
        ::close(fd);
        return e;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            ++*count;
    }
    return errno;
}

// Temporary files of a service that was killed mid-recall are of no use to anyone: only the
// store's holder writes there, and it has just started.
int removeLeftovers(const std::string& storeDir, int* removed, std::string* message) {
    const std::string tmp = storeDir + "/tmp";
    // O_NOFOLLOW: a "tmp" that is a link leads outside the store, and nothing there is ours.
    tqsys::UniqueFd dirFd = tqsys::OpenRetrying(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (dirFd.get() < 0 && errno == ENOENT)
        return 0;
    if (dirFd.get() < 0) {
        int e = errno;
        *message = "Couldn't open " + tmp + ": " + errnoText(e);
        return e;
    }
    int count = 0;
    int e = countEntries(dirFd.release(), &count);
    if (e != 0) {
        *message = "Couldn't list " + tmp + ": " + errnoText(e);
        return e;
    }
    // The library's own tree remover: links are removed, never followed.
    CZyError err = TqBlkBackingStore::rmUnder(tmp);
    if (err.IsError()) {
        *message = tqtools::oneLine("Couldn't empty " + tmp, err) + "\n" + tqtools::chain(err);
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    *removed = count;
    return 0;
}

}  // namespace

int claimRecallStore(const std::string& dir, TqBlkStoreLock* lock, int* removed,
                     std::string* message) {
    *removed = 0;
    CZyError err = lock->lock(dir.c_str(), false);
    if (err.IsError() && err.GetErrNo() == EWOULDBLOCK) {
        *message = "the recall store " + dir +
                   " is in use by another process (another recall service?); not starting";
        return EWOULDBLOCK;
    }
    if (err.IsError()) {
        *message = tqtools::oneLine("Couldn't lock the recall store " + dir, err) + "\n" +
                   tqtools::chain(err);
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    // Proven a store again under the lock: nothing is removed from a directory that is not.
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir.c_str(), &err));
    if (!store) {
        *message = tqtools::oneLine("Couldn't open the recall store " + dir, err) + "\n" +
                   tqtools::chain(err);
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    return removeLeftovers(dir, removed, message);
}

}  // namespace recalld
