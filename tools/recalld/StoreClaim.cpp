#include "StoreClaim.h"

#include "ErrnoText.h"
#include "SysUtil.h"

#include <tqblk/TqBlkBackingStore.h>

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace recalld {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The names in the directory open at fd, without "." and "..". Takes fd over.
int listNames(int fd, std::vector<std::string>* names) {
    if (fd < 0)
        return errno;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        int e = errno;
        ::close(fd);
        return e;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names->push_back(name);
    }
    return errno;
}

// Removes the entry name of the directory open at dirFd, a directory with all below it.
int removeEntry(int dirFd, const std::string& dirPath, const std::string& name,
                std::string* message) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT)
        return 0;
    if (errno != EISDIR) {
        int e = errno;
        *message = "Couldn't remove " + dirPath + "/" + name + ": " + errnoText(e);
        return e;
    }
    CZyError err = TqBlkBackingStore::rmUnder(dirPath + "/" + name);
    if (err.IsError()) {
        *message = err.GetDescription();
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        int e = errno;
        *message = "Couldn't remove " + dirPath + "/" + name + ": " + errnoText(e);
        return e;
    }
    return 0;
}

// Temporary files of a service that was killed mid-recall are of no use to anyone: only the
// store's holder writes there, and it has just started.
int removeLeftovers(const std::string& storeDir, int* removed, std::string* message) {
    const std::string tmp = storeDir + "/tmp";
    // O_NOFOLLOW: a "tmp" that is a link leads outside the store, and nothing there is ours.
    Fd dirFd(openRetrying(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (dirFd.get() < 0 && errno == ENOENT)
        return 0;
    if (dirFd.get() < 0) {
        int e = errno;
        *message = "Couldn't open " + tmp + ": " + errnoText(e);
        return e;
    }
    std::vector<std::string> names;
    int e = listNames(::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0), &names);
    if (e != 0) {
        *message = "Couldn't list " + tmp + ": " + errnoText(e);
        return e;
    }
    for (const std::string& name : names) {
        e = removeEntry(dirFd.get(), tmp, name, message);
        if (e != 0)
            return e;
        ++*removed;
    }
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
        *message = "Couldn't lock the recall store " + dir + ":\n" + err.GetDescription();
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    return removeLeftovers(dir, removed, message);
}

}  // namespace recalld
