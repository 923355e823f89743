#ifndef TQBLK_TOOLS_STOREUSE_H
#define TQBLK_TOOLS_STOREUSE_H

// What the extents of a store cost on disk, and their removal within the store alone. Shared
// by the recall service's eviction and tqblk-ctl trim-store.
//
// An extent's cost is the space its removal frees: its allocated blocks when the store holds
// its only link, nothing when another link (a source store's) keeps the inode alive, and
// almost nothing for a sparse all-zero extent.

#include "ExtentRanges.h"
#include "SysUtil.h"

#include <tqblk/TqBlkBackingStore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace tqtools {

// The cost of an extent from its lstat: what removing it frees.
inline long long extentCost(const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        return 0;
    return static_cast<long long>(st.st_blocks) * 512;
}

// The store's directory, opened without following a link at the top; -1 with errno.
inline int openStoreDir(const std::string& dir) {
    return openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// The extent's name relative to the store directory ("data/..").
inline std::string extentName(const TqBlkBackingStore& store, long long extent) {
    char name[64];
    tqblk_bstore_make_extent_fname(extent, store.m_extentCount, name);
    return name;
}

// Walks from the store directory (storeFd) to the directory holding the extent's file, each
// step refusing a link (ELOOP) and another mount (EXDEV, by st_dev against dev). Sets *leaf
// to the file's name in it. Returns the directory's descriptor or -1 with errno.
inline int openExtentParent(int storeFd, dev_t dev, const std::string& name, std::string* leaf) {
    int at = ::fcntl(storeFd, F_DUPFD_CLOEXEC, 0);
    size_t start = 0;
    for (size_t slash = name.find('/'); at >= 0 && slash != std::string::npos;
         slash = name.find('/', start)) {
        const std::string part = name.substr(start, slash - start);
        start = slash + 1;
        int next = openAtRetrying(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        int e = errno;
        struct stat st;
        if (next >= 0 && (::fstat(next, &st) != 0 || st.st_dev != dev)) {
            e = EXDEV;
            ::close(next);
            next = -1;
        }
        ::close(at);
        at = next;
        errno = e;
    }
    *leaf = name.substr(start);
    return at;
}

// Looks at the extent's entry without following links: 0 with *st, or the errno (ENOENT when
// absent, ELOOP or EXDEV when its path leaves the store).
inline int statExtent(int storeFd, dev_t dev, const std::string& name, struct stat* st) {
    std::string leaf;
    Fd dir(openExtentParent(storeFd, dev, name, &leaf));
    if (dir.get() < 0)
        return errno;
    return ::fstatat(dir.get(), leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// Removes the extent's entry: a file of this mount or a link (never what it leads to). A
// directory or anything else there is left (EISDIR, EINVAL). Returns 0 or the errno.
inline int removeExtent(int storeFd, dev_t dev, const std::string& name) {
    std::string leaf;
    Fd dir(openExtentParent(storeFd, dev, name, &leaf));
    if (dir.get() < 0)
        return errno;
    struct stat st;
    int e = ::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (e == 0 && S_ISDIR(st.st_mode))
        e = EISDIR;
    else if (e == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        e = EINVAL;
    else if (e == 0 && st.st_dev != dev)
        e = EXDEV;
    if (e == 0 && ::unlinkat(dir.get(), leaf.c_str(), 0) != 0)
        e = errno;
    return e;
}

// One present extent as a scan finds it.
struct ExtentUse {
    long long extent;
    long long cost;
    long long time;  // when it was last written or read (seconds), as its file tells
};

// The present extents of a store with their costs and times, in extent order. Returns 0 or
// an errno with *detail.
inline int scanStoreUse(TqBlkBackingStore& store, int storeFd, dev_t dev,
                        std::vector<ExtentUse>* out, std::string* detail) {
    ExtentBitmap chunks;
    int perChunk = 0;
    CZyError err = store.getPresentChunks(&chunks, &perChunk);
    if (err.IsError()) {
        *detail = err.GetDescription();
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    forEachPresentRange(chunks, perChunk, store.m_extentCount,
                        [&](long long first, long long last) {
                            for (long long extent = first; extent <= last; ++extent) {
                                struct stat st;
                                if (statExtent(storeFd, dev, extentName(store, extent), &st) != 0)
                                    continue;
                                long long time = std::max<long long>(st.st_mtime, st.st_atime);
                                out->push_back(ExtentUse{extent, extentCost(st), time});
                            }
                        });
    return 0;
}

}  // namespace tqtools

#endif
