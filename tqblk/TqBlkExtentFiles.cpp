// Extent files: presence, removal, temporary files, opening, moving in and sparse creation.

#include "StoreInternal.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <zyutils/ZyPath.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using tqsys::UniqueFd;

namespace {

// Temporary names carry four hexadecimal digits, so a store has 65,536 of them. Draws are
// random; this many collisions in a row means the directory is as good as full.
constexpr int kTempNameAttempts = 1024;
// No O_CLOEXEC: the descriptor is the caller's, who decides what children inherit.
constexpr int kTempFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE;

// open(2) with the flags as given, retried on EINTR; O_CLOEXEC is the caller's to pass.
int openAsGiven(const char* path, int flags) {
    return tqsys::RetryOnEintr([&] { return ::open(path, flags, 0666); });
}

void appendTempName(std::string* path) {
    char name[16];
    std::snprintf(name, sizeof name, "/temp%04x", static_cast<unsigned>(std::rand()) & 0xffffu);
    path->append(name);
}

// The standard stream mode that matches the access mode of open flags.
const char* streamModeFor(int flags) {
    switch (flags & O_ACCMODE) {
        case O_RDONLY:
            return "r";
        case O_WRONLY:
            return "w";
        default:
            return "r+";
    }
}

// Whether open flags may be used on a recall store: only reading, and nothing that would
// create or empty the extent's file.
bool readsOnly(int flags) {
    return (flags & O_ACCMODE) == O_RDONLY && (flags & (O_CREAT | O_TRUNC)) == 0;
}

// Renames source to target unless an extent already stands at target, which then stays, as
// does source. Returns -1 with errno set when the rename failed.
int moveWithoutReplacing(const char* source, const char* target) {
    if (::renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
        return 0;
    int e = errno;
    if (e != EEXIST && e != EINVAL && e != ENOSYS) {
        errno = e;
        return -1;
    }
    // EEXIST: an entry stands at the target. EINVAL or ENOSYS: the file system or kernel
    // cannot refuse to replace, so test first. An extent that can be reached stays; a soft
    // link that leads nowhere is no extent and gives way, as to a plain rename.
    if (CZyPath::Exists(target))
        return 0;
    return ::rename(source, target);
}

// Makes the new temporary file at path, open as fd, a sparse file of extentSize bytes: its
// last byte written, a hole before it, synced, and closed. *made receives its identity.
CZyError finishSparseFile(const JQCodeLocation& where, UniqueFd fd, const std::string& path,
                          int extentSize, struct stat* made) {
    if (::lseek(fd.get(), static_cast<off_t>(extentSize) - 1, SEEK_SET) < 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't create sparse extent file");
    const char zero = 0;
    const int written = tqsys::WriteFull(fd.get(), &zero, 1);
    if (written < 0)
        return JQErrorUtil::ErrorErrNo(where, -written, "Couldn't create sparse extent file");
    // The size must be on disk before the name is: after a power cut the rename may survive
    // while an unsynced size does not, leaving an empty file at the extent's path.
    if (::fsync(fd.get()) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't sync sparse extent file %s",
                                       path.c_str());
    if (::fstat(fd.get(), made) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't stat sparse extent file %s",
                                       path.c_str());
    // A failed close may mean the byte never reached the file.
    if (::close(fd.release()) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't create sparse extent file");
    return CZyError::Success();
}

}  // namespace

CZyError TqBlkBackingStore::checkExtentFile(long long extent, bool* exists) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't derive file name for extent %lld", extent);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        *exists = true;
        return CZyError::Success();
    }
    int e = errno;
    if (e != ENOENT)
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, e, "Couldn't stat extent file %s for extent %lld", path.c_str(), extent);
    *exists = false;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::pruneExtentFile(long long extent) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't derive file name for extent %lld", extent);
    if (::unlink(path.c_str()) != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e,
                                       "Couldn't remove extent file %s for extent %lld",
                                       path.c_str(), extent);
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openTempFile(std::string* path, int* fd) {
    const std::string tmpDir = m_dir + "/tmp";
    // The tmp directory is made (or judged) only when the file cannot be made in it: every
    // temporary file but the first would otherwise pay a failed mkdir and a stat.
    bool madeDir = false;
    std::string candidate;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        candidate.assign(tmpDir);
        appendTempName(&candidate);
        int raw = openAsGiven(candidate.c_str(), kTempFileFlags);
        if (raw < 0 && (errno == ENOENT || errno == ENOTDIR) && !madeDir) {
            madeDir = true;
            CZyError err = mkdir(tmpDir);
            if (err.IsError())
                return err.Push(TQ_STORE_HERE, "Couldn't create tmp directory for backup store %s",
                                m_uuid.c_str());
            raw = openAsGiven(candidate.c_str(), kTempFileFlags);
        }
        const int e = raw < 0 ? errno : 0;
        *path = candidate;
        *fd = raw;
        if (raw >= 0)
            return CZyError::Success();
        if (e != EEXIST)
            return JQErrorUtil::ErrorErrNo(
                TQ_STORE_HERE, e, "Couldn't open temporary extent file %s", candidate.c_str());
    }
    return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EEXIST,
                                   "Couldn't find a free temporary file name in %s after %d tries",
                                   tmpDir.c_str(), kTempNameAttempts);
}

CZyError TqBlkBackingStore::openTempFile(std::string* path, FILE** stream) {
    int raw = -1;
    CZyError err = openTempFile(path, &raw);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    UniqueFd fd(raw);
    FILE* file = ::fdopen(fd.get(), "w");
    if (!file) {
        int e = errno;
        fd.reset();
        ::unlink(path->c_str());
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, e, "Couldn't make a stream of temporary file %s", path->c_str());
    }
    fd.release();  // the stream took the descriptor over and closes it
    *stream = file;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openExtentFile(long long extent, int flags, int* fd) {
    if (m_type == TQBLK_STORE_RECALL && !readsOnly(flags))
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EPERM,
                                       "Direct write access to recall store's extents is not "
                                       "permitted");
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    err = makeParentDir(path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    // The caller's flags as given, O_CLOEXEC not added: the caller decides what children inherit.
    *fd = openAsGiven(path.c_str(), flags | O_LARGEFILE);
    if (*fd < 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't open file %s for extent %lld",
                                       path.c_str(), extent);
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openExtentFile(long long extent, int flags, FILE** stream) {
    int raw = -1;
    CZyError err = openExtentFile(extent, flags, &raw);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    UniqueFd fd(raw);
    FILE* file = ::fdopen(fd.get(), streamModeFor(flags));
    if (!file) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e,
                                       "Couldn't make a stream of the file of extent %lld", extent);
    }
    fd.release();  // the stream took the descriptor over and closes it
    *stream = file;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::moveInExtentFile(const char* path, long long extent) {
    std::string target;
    CZyError err = getExtentFileName(extent, &target);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    // The parent directory is made only when the move finds it missing.
    int moved = moveWithoutReplacing(path, target.c_str());
    if (moved != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        err = makeParentDir(target);
        if (err.IsError())
            return err.Push(TQ_STORE_HERE);
        moved = moveWithoutReplacing(path, target.c_str());
    }
    if (moved != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't move %s to %s", path,
                                       target.c_str());
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::createExtentWithNUL(long long extent) {
    std::string tempPath;
    int raw = -1;
    CZyError err = openTempFile(&tempPath, &raw);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    // The file's identity tells after the move-in whether it still stands at its temporary
    // name, left there because the extent was present.
    struct stat made;
    err = finishSparseFile(TQ_STORE_HERE, UniqueFd(raw), tempPath, m_extentSize, &made);
    if (!err.IsError()) {
        err = moveInExtentFile(tempPath.c_str(), extent);
        if (err.IsError())
            err.Push(TQ_STORE_HERE);
    }
    if (err.IsError()) {
        ::unlink(tempPath.c_str());
        return err;
    }
    // Nobody else claims a name that our file still holds, so one found there is ours.
    struct stat left;
    if (::lstat(tempPath.c_str(), &left) == 0 && left.st_dev == made.st_dev &&
        left.st_ino == made.st_ino)
        ::unlink(tempPath.c_str());
    return CZyError::Success();
}
