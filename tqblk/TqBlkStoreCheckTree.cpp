// The store checker's walk of the data tree: names, range, type and size of every entry, the
// bytes of sound extents against a verify source, and the prune of damaged ones.

#include "StoreCheckInternal.h"
#include "StoreTreeWalk.h"

#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

using tqblk::store::TreeEntry;
using tqblk::store::TreeEntryKind;

namespace tqblk::check {

namespace {

std::string linkText(int fd, const char* name) {
    char text[4096];
    ssize_t n = ::readlinkat(fd, name, text, sizeof text);
    return n < 0 ? std::string("?") : std::string(text, static_cast<size_t>(n));
}

class TreeChecker : public tqblk::store::StoreTreeWalk {
  public:
    TreeChecker(const TreeCheck& check, FindingSink* sink)
        : StoreTreeWalk(check.dir, check.geometry.extentCount, check.options.threads),
          m_check(check),
          m_geometry(check.geometry),
          m_sink(sink) {}

    CZyError OnTreeEntry(const TreeEntry& entry) override {
        const std::string& path = entry.relativePath;
        JQFile::CFileData& data = entry.data;
        CZyError err = checkFolder(entry);
        if (err.IsError())
            return err;
        switch (entry.kind) {
            case TreeEntryKind::kBadName:
                m_sink->add(Finding::TQBLK_FINDING_BAD_NAME, path,
                            std::string("stray ") +
                                typeWord(resolveType(data.m_folderFd, data.m_name, data.m_type)) +
                                ", not an extent " + (entry.fileLevel ? "file" : "directory") +
                                " name");
                return CZyError::Success();
            case TreeEntryKind::kOutOfRange:
                addOutOfRange(path, entry.fileLevel, entry.extent);
                return CZyError::Success();
            case TreeEntryKind::kNotAFolder:
                m_sink->add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, path,
                            misplaced(data.m_type, "a directory"));
                return CZyError::Success();
            case TreeEntryKind::kExtent:
                break;
        }
        return checkExtent(data.m_folderFd, data.m_name, data.m_type, entry.extent, path);
    }

    CZyError OnFolderFailed(const std::string&, const std::string& relativePath,
                            const CZyError& err) override {
        const int e = err.GetErrNo();
        if (e == ENOENT)  // pruned or removed while we read
            return CZyError::Success();
        return m_sink->unreadable(relativePath, e);
    }

    void OnFolderRead(const std::string&, const std::string& relativePath,
                      size_t entries) override {
        if (entries == 0)
            m_sink->add(Finding::TQBLK_FINDING_EMPTY_DIRECTORY, relativePath, "empty directory");
    }

  private:
    // The walk opens the data directory by its path: an entry of it must come from the data
    // directory found beside the config, or the store changed under the check.
    CZyError checkFolder(const TreeEntry& entry) {
        if (entry.relativePath.size() != 5 + std::strlen(entry.data.m_name))
            return CZyError::Success();
        struct stat st;
        if (::fstat(entry.data.m_folderFd, &st) != 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat the data directory");
        if (st.st_dev != m_check.data.st_dev || st.st_ino != m_check.data.st_ino)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, ESTALE,
                                           "The data directory was replaced during the check");
        return CZyError::Success();
    }

    void addOutOfRange(const std::string& path, bool file, long long first) {
        const std::string last = std::to_string(m_geometry.extentCount - 1);
        m_sink->add(Finding::TQBLK_FINDING_OUT_OF_RANGE, path,
                    file ? "extent " + std::to_string(first) + " is past the last extent " + last
                         : "holds extents from " + std::to_string(first) +
                               ", past the last extent " + last);
    }

    CZyError checkExtent(int fd, const char* name, unsigned char type, long long extent,
                         const std::string& path) {
        struct stat st;
        if (type == DT_REG || type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return errno == ENOENT ? CZyError::Success()  // pruned while we read
                                       : m_sink->unreadable(path, errno);
            type = typeOfMode(st.st_mode);
        }
        if (type == DT_LNK)
            return checkLink(fd, name, extent, path);
        if (type != DT_REG) {
            addWrongType(fd, name, path, std::string("a ") + typeWord(type), type != DT_DIR);
            return CZyError::Success();
        }
        return checkSize(fd, name, extent, path, st.st_size, "");
    }

    CZyError checkLink(int fd, const char* name, long long extent, const std::string& path) {
        struct stat st;
        if (::fstatat(fd, name, &st, 0) != 0) {
            const int e = errno;
            if (e != ENOENT && e != ELOOP && e != ENOTDIR)
                return m_sink->unreadable(path, e);
            // Read the link's text before a prune removes it.
            const std::string detail = "soft link to " + linkText(fd, name) + " leads nowhere";
            m_sink->add(Finding::TQBLK_FINDING_DANGLING_LINK, path, detail, prune(fd, name));
            return CZyError::Success();
        }
        if (!S_ISREG(st.st_mode)) {
            addWrongType(fd, name, path,
                         std::string("a soft link to a ") + typeWord(typeOfMode(st.st_mode)), true);
            return CZyError::Success();
        }
        return checkSize(fd, name, extent, path, st.st_size, "soft link to a file of ");
    }

    // Every extent file is extent-size bytes, but the last extent of a device whose size is
    // no multiple of it may also be cut at the device's end, as a recall service writes it.
    CZyError checkSize(int fd, const char* name, long long extent, const std::string& path,
                       long long size, const char* what) {
        const bool last = extent == m_geometry.extentCount - 1;
        if (size != m_geometry.extentSize && !(last && size == m_geometry.tailSize())) {
            std::string expected = std::to_string(m_geometry.extentSize);
            if (last && m_geometry.tailSize() != m_geometry.extentSize)
                expected += " or " + std::to_string(m_geometry.tailSize());
            m_sink->add(Finding::TQBLK_FINDING_WRONG_SIZE, path,
                        what + std::to_string(size) + " bytes, expected " + expected,
                        prune(fd, name));
            return CZyError::Success();
        }
        m_sink->countExtent();
        return m_check.verifier ? verify(fd, name, extent, path) : CZyError::Success();
    }

    void addWrongType(int fd, const char* name, const std::string& path, const std::string& what,
                      bool prunable) {
        m_sink->add(Finding::TQBLK_FINDING_WRONG_TYPE, path, what + " where an extent file belongs",
                    prunable && prune(fd, name));
    }

    CZyError verify(int fd, const char* name, long long extent, const std::string& path) {
        // O_NONBLOCK: an entry swapped for a FIFO after it was examined must not hang us.
        tqsys::UniqueFd file(tqsys::OpenAtRetrying(fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
        if (!file.valid())
            return errno == ENOENT ? CZyError::Success() : m_sink->unreadable(path, errno);
        long long differsAt = -1;
        bool extentFailed = false;
        CZyError err = m_check.verifier->compare(file.get(), extent, &differsAt, &extentFailed);
        if (err.IsError()) {
            if (isResourceErrno(err.GetErrNo()))
                return err.Push(JQ_HERE);
            if (extentFailed)
                return m_sink->unreadable(path, err.GetErrNo());
            m_sink->add(Finding::TQBLK_FINDING_UNREADABLE, path,
                        "verify source: " + err.GetMessages().front());
            return CZyError::Success();
        }
        if (differsAt < 0)
            return CZyError::Success();
        const std::string detail = "differs from " + m_check.options.verifyAgainst +
                                   " at device offset " + std::to_string(differsAt);
        if (m_check.mismatchIsDamage)  // a device must never serve a wrong extent's bytes
            m_sink->add(Finding::TQBLK_FINDING_MISMATCH, path, detail, prune(fd, name));
        else
            m_sink->add(Finding::TQBLK_FINDING_CHANGED, path,
                        detail + ": written through the device, as a private extent may be");
        return CZyError::Success();
    }

    // Removes a damaged extent entry when asked to and allowed to, never across a mount.
    bool prune(int fd, const char* name) {
        if (!m_check.prune)
            return false;
        struct stat st;
        return ::fstat(fd, &st) == 0 && st.st_dev == m_check.data.st_dev &&
               ::unlinkat(fd, name, 0) == 0;
    }

    const TreeCheck& m_check;
    const Geometry& m_geometry;
    FindingSink* m_sink;
};

}  // namespace

CZyError checkDataTree(const TreeCheck& check, FindingSink* sink) {
    TreeChecker checker(check, sink);
    return checker.Traverse();
}

}  // namespace tqblk::check
