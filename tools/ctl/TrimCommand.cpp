// trim-store: frees space in a recall store now, oldest extents first.

#include "Commands.h"
#include "ErrorText.h"
#include "StoreUse.h"

#include <tqblk/TqBlkStoreLock.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace ctl {

// Removes the extents least recently written or read (by their files' times) until the
// store occupies at most `to` bytes. The rule of every removing command holds: the store is
// proven by its config, its lock is held (taken without waiting: a store a running service
// serves is refused), a link at the top is refused, and no extent is removed through a link
// or on another mount.
int trimStore(const std::string& dir, long long to) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "tqblk-ctl: trim-store: refused: %s is a symbolic link\n",
                     printable(dir).c_str());
        return kExitFailed;
    }
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir.c_str(), &err));
    TqBlkStoreLock lock;
    if (store)
        err = lock.lock(dir.c_str(), false);
    if (report(err, "trim-store"))
        return kExitFailed;
    tqsys::UniqueFd storeFd = tqtools::openStoreDir(dir);
    const int fd = storeFd.get();
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        std::fprintf(stderr, "tqblk-ctl: trim-store: Couldn't open %s: %s\n",
                     printable(dir).c_str(), tqtools::errnoText(errno).c_str());
        return kExitFailed;
    }
    std::vector<tqtools::ExtentUse> extents;
    std::string detail;
    int e = tqtools::scanStoreUse(*store, fd, st.st_dev, &extents, &detail);
    long long used = 0;
    for (const tqtools::ExtentUse& use : extents)
        used += use.cost;
    std::stable_sort(
        extents.begin(), extents.end(),
        [](const tqtools::ExtentUse& a, const tqtools::ExtentUse& b) { return a.time < b.time; });
    long long removed = 0, freed = 0;
    int failure = 0;
    tqtools::ExtentDirs dirs(fd, st.st_dev);
    for (size_t i = 0; e == 0 && i < extents.size() && used > to; ++i) {
        if (extents[i].cost == 0)
            continue;  // frees nothing
        const std::string name = tqtools::extentName(*store, extents[i].extent);
        int r = dirs.remove(name);
        if (r != 0 && r != ENOENT) {
            std::fprintf(stderr, "tqblk-ctl: trim-store: Couldn't remove %s/%s: %s\n",
                         printable(dir).c_str(), name.c_str(), tqtools::errnoText(r).c_str());
            failure = r;
            continue;
        }
        ++removed;
        freed += extents[i].cost;
        used -= extents[i].cost;
    }
    if (e != 0) {
        std::fprintf(stderr, "tqblk-ctl: trim-store: Couldn't list the extents of %s: %s\n",
                     printable(dir).c_str(), detail.c_str());
        return kExitFailed;
    }
    std::printf("removed %lld extents (%lld bytes); the store holds %lld bytes\n", removed, freed,
                used);
    return failure == 0 && used <= to ? kExitDone : kExitFailed;
}

}  // namespace ctl
