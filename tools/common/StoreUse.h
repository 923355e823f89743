#ifndef TQBLK_TOOLS_STOREUSE_H
#define TQBLK_TOOLS_STOREUSE_H

// What the extents of a store cost on disk, and their removal within the store alone. Shared
// by the recall service's eviction and tqblk-ctl trim-store.
//
// An extent's cost is the space its removal frees: its allocated blocks when the store holds
// its only link, nothing when another link (a source store's) keeps the inode alive, and
// almost nothing for a sparse all-zero extent.

#include "ExtentRanges.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqsys/Retry.h>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tqtools {

// The cost of an extent from its lstat: what removing it frees.
inline long long extentCost(const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
        return 0;
    return static_cast<long long>(st.st_blocks) * 512;
}

// The store's directory, opened without following a link at the top; empty with errno.
inline tqsys::UniqueFd openStoreDir(const std::string& dir) {
    return tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// The extent's name relative to the store directory ("data/..").
inline std::string extentName(const TqBlkBackingStore& store, long long extent) {
    char name[64];
    tqblk_bstore_make_extent_fname(extent, store.m_extentCount, name);
    return name;
}

// Opens, below the store directory (storeFd), the directory `dir` ("data/.."), refusing a link
// (ELOOP) and another mount (EXDEV) on the way. One openat2 call where the kernel has it
// (which refuses any mount crossed, a bind mount of the same file system too); elsewhere a
// walk that opens each step without following a link and compares its st_dev against dev.
// Returns the directory's descriptor or -1 with errno.
inline int openStoreSubdir(int storeFd, dev_t dev, const std::string& dir) {
    struct open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_BENEATH;
    const int fd = static_cast<int>(tqsys::RetryOnEintr(
        [&] { return ::syscall(SYS_openat2, storeFd, dir.c_str(), &how, sizeof how); }));
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return fd;
    tqsys::UniqueFd at(::fcntl(storeFd, F_DUPFD_CLOEXEC, 0));
    size_t start = 0;
    while (at.valid() && start <= dir.size()) {
        size_t slash = dir.find('/', start);
        if (slash == std::string::npos)
            slash = dir.size();
        const std::string part = dir.substr(start, slash - start);
        start = slash + 1;
        tqsys::UniqueFd next =
            tqsys::OpenAtRetrying(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        int e = errno;
        struct stat st;
        if (next.valid() && (::fstat(next.get(), &st) != 0 || st.st_dev != dev)) {
            e = EXDEV;
            next.reset();
        }
        at = std::move(next);
        errno = e;
    }
    return at.release();
}

// The directories holding extents, each opened (as openStoreSubdir checks) the first time one
// of its extents is asked for and kept while this lives: a batch of removals or looks pays the
// checked walk once per directory, not once per extent. Live it only as long as the store's
// lock is held, and no longer than the batch: a directory removed and made anew meanwhile
// would not be seen.
class ExtentDirs {
  public:
    ExtentDirs(int storeFd, dev_t dev) : m_storeFd(storeFd), m_dev(dev) {}
    ExtentDirs(const ExtentDirs&) = delete;
    ExtentDirs& operator=(const ExtentDirs&) = delete;

    // Looks at the extent's entry without following links: 0 with *st, or the errno (ENOENT
    // when absent, ELOOP or EXDEV when its path leaves the store).
    int stat(const std::string& name, struct stat* st) {
        const char* leaf = nullptr;
        int dir = parent(name, &leaf);
        if (dir < 0)
            return errno;
        return ::fstatat(dir, leaf, st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    }

    // Removes the extent's entry: a file of this mount or a link (never what it leads to). A
    // directory or anything else there is left (EISDIR, EINVAL). Returns 0 or the errno.
    int remove(const std::string& name) {
        const char* leaf = nullptr;
        int dir = parent(name, &leaf);
        if (dir < 0)
            return errno;
        struct stat st;
        int e = ::fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
        if (e == 0 && S_ISDIR(st.st_mode))
            e = EISDIR;
        else if (e == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            e = EINVAL;
        else if (e == 0 && st.st_dev != m_dev)
            e = EXDEV;
        if (e == 0 && ::unlinkat(dir, leaf, 0) != 0)
            e = errno;
        return e;
    }

  private:
    // The open directory holding name's entry (owned here) with *leaf pointing at the entry's
    // name within name, or -1 with errno.
    int parent(const std::string& name, const char** leaf) {
        const size_t slash = name.rfind('/');
        if (slash == std::string::npos || slash == 0) {
            errno = EINVAL;
            return -1;
        }
        *leaf = name.c_str() + slash + 1;
        const std::string dir = name.substr(0, slash);
        auto it = m_dirs.find(dir);
        if (it != m_dirs.end())
            return it->second.get();
        int fd = openStoreSubdir(m_storeFd, m_dev, dir);
        if (fd < 0)
            return -1;
        if (m_dirs.size() >= kMaxOpen)
            m_dirs.clear();
        return m_dirs
            .emplace(std::piecewise_construct, std::forward_as_tuple(dir),
                     std::forward_as_tuple(fd))
            .first->second.get();
    }

    static constexpr size_t kMaxOpen = 64;
    const int m_storeFd;
    const dev_t m_dev;
    std::map<std::string, tqsys::UniqueFd> m_dirs;
};

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
    ExtentDirs dirs(storeFd, dev);
    forEachPresentRange(chunks, perChunk, store.m_extentCount,
                        [&](long long first, long long last) {
                            for (long long extent = first; extent <= last; ++extent) {
                                struct stat st;
                                if (dirs.stat(extentName(store, extent), &st) != 0)
                                    continue;
                                long long time = std::max<long long>(st.st_mtime, st.st_atime);
                                out->push_back(ExtentUse{extent, extentCost(st), time});
                            }
                        });
    return 0;
}

}  // namespace tqtools

#endif
