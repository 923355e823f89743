// Links between stores: soft and hard links at an extent's path.

#include "StoreInternal.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kLinkTextSize = 8192;  // link texts are read up to 8191 bytes

// Reads the text of the soft link at path, cut to 8191 bytes. Returns its length, or -1 with
// errno set.
ssize_t readLinkText(const std::string& path, std::string* text) {
    char buffer[kLinkTextSize];
    ssize_t n = ::readlink(path.c_str(), buffer, kLinkTextSize - 1);
    if (n >= 0)
        text->assign(buffer, static_cast<size_t>(n));
    return n;
}

// Whether two paths name one file: the same device and inode, links not followed.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat stA, stB;
    return ::lstat(a.c_str(), &stA) == 0 && ::lstat(b.c_str(), &stB) == 0 &&
           stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}

}  // namespace

CZyError TqBlkBackingStore::checkExtentLink(long long extent, bool* exists, std::string* target) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE, "Couldn't derive file name for extent %lld", extent);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        int e = errno;
        if (e != ENOENT)
            return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e,
                                           "Couldn't stat extent file %s for extent %lld",
                                           path.c_str(), extent);
        *exists = false;
        return CZyError::Success();
    }
    *exists = true;
    if (!S_ISLNK(st.st_mode))
        return CZyError::Success();
    std::string text;
    if (readLinkText(path, &text) < 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "readlink failed for file %s extent %lld",
                                       path.c_str(), extent);
    }
    *target = text;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::softLinkExtentFile(const std::string& target, long long extent) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    // Any entry counts, a link that leads nowhere too: it is compared and replaced like the
    // rest, so linking again always succeeds.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        err = makeParentDir(path);
        if (err.IsError())
            return err.Push(TQ_STORE_HERE);
    } else {
        std::string text;
        if (readLinkText(path, &text) > 0 && text == target)
            return CZyError::Success();
        if (::unlink(path.c_str()) != 0) {
            int e = errno;
            return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't delete %s", path.c_str());
        }
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't create soft link %s to %s",
                                       path.c_str(), target.c_str());
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::hardLinkExtentFile(TqBlkBackingStore* source, long long sourceExtent,
                                               long long destExtent) {
    if (!source)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "NULL source backing store passed as input");
    if (destExtent == -1)
        destExtent = sourceExtent;
    if (m_deviceSize != source->m_deviceSize || m_extentSize != source->m_extentSize)
        return JQErrorUtil::ErrorErrNo(
            TQ_STORE_HERE, EINVAL,
            "Can't hard link extent file %lld from backing store %s: Store metrics do not match",
            sourceExtent, source->m_uuid.c_str());
    std::string sourcePath, destPath;
    CZyError err = source->getExtentFileName(sourceExtent, &sourcePath);
    if (!err.IsError())
        err = getExtentFileName(destExtent, &destPath);
    if (!err.IsError())
        err = makeParentDir(destPath);
    if (err.IsError())
        return err.Push(TQ_STORE_HERE);
    while (::link(sourcePath.c_str(), destPath.c_str()) != 0) {
        int e = errno;
        if (e != EEXIST)
            return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't create hard link %s to %s",
                                           destPath.c_str(), sourcePath.c_str());
        // Both paths may name one file (an extent linked onto itself, or linked before):
        // removing the destination would then remove the extent's data.
        if (sameFile(sourcePath, destPath))
            return CZyError::Success();
        if (::unlink(destPath.c_str()) != 0) {
            e = errno;
            return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Couldn't delete %s",
                                           destPath.c_str());
        }
    }
    return CZyError::Success();
}
