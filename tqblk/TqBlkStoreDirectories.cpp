// Directory utilities of the store: making directory chains and emptying directory trees.

#include "StoreInternal.h"

#include <tqsys/DirEntries.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>
#include <zyutils/TraverseFolder.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

int tqblk_mkdir(const std::string& path) {
    return ::mkdir(path.c_str(), 0777);
}

// An existing entry at path counts as made when it is a directory or leads to one. Failures
// carry where, the location of the mkdir that met the entry.
CZyError judgeExisting(const JQCodeLocation& where, const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Can't stat %s", path.c_str());
    if (!S_ISDIR(st.st_mode))
        return JQErrorUtil::ErrorErrNo(
            where, ENOTDIR, "Can't make directory %s. It already exists and is not a directory",
            path.c_str());
    return CZyError::Success();
}

// Opens the directory name below dirFd as a directory stream; path names it in messages.
CZyError openDirStream(const JQCodeLocation& where, int dirFd, const char* name, int flags,
                       const std::string& path, tqsys::UniqueDir* dir) {
    tqsys::UniqueFd fd = tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | flags);
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open directory %s", path.c_str());
    DIR* raw = ::fdopendir(fd.get());
    if (!raw)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open directory %s", path.c_str());
    fd.release();  // the stream took the descriptor over and closes it
    dir->reset(raw);
    return CZyError::Success();
}

// The mount a file lies on. A bind mount of a file system shares its device number, so
// mounts are told apart by their mount id; the device alone serves where no id is reported.
struct Mount {
    unsigned long long m_id = 0;
    dev_t m_dev = 0;
    bool m_hasId = false;
    bool m_isDir = false;  // what was looked at is a directory

    bool same(const Mount& other) const {
        return m_dev == other.m_dev && (!m_hasId || !other.m_hasId || m_id == other.m_id);
    }
};

// The mount of the entry name below dirFd (a link is not followed unless follow, nor an
// automount point triggered), or of the file open at dirFd when name is "". False with
// errno on failure.
bool mountOf(int dirFd, const char* name, Mount* out, bool follow = false) {
    struct statx stx;
    const int flags =
        (follow ? 0 : AT_SYMLINK_NOFOLLOW) | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    if (tqsys::RetryOnEintr(
            [&] { return ::statx(dirFd, name, flags, STATX_TYPE | STATX_MNT_ID, &stx); }) != 0)
        return false;
    out->m_dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    out->m_hasId = (stx.stx_mask & STATX_MNT_ID) != 0;
    out->m_id = stx.stx_mnt_id;
    out->m_isDir = S_ISDIR(stx.stx_mode);
    return true;
}

// Empties a directory tree of any depth without recursion, holding at most two directories
// open: it goes down into one sub-directory at a time and comes back up through "..",
// checking that ".." is still the directory it came from. Like rm --one-file-system it
// neither enters nor removes anything on another mount than the top's: such an entry, and
// the directories above it, stay, the rest goes, and the walk fails at its end with EXDEV.
// An entry of the top named keep that is no directory stays too.
class TreeRemover {
  public:
    // Failures carry where, the location of the rmUnder that runs the walk; topFlags are
    // added to the flags that open the top (O_NOFOLLOW refuses a link there).
    TreeRemover(const JQCodeLocation& where, const std::string& dir, const char* keep, int topFlags)
        : m_where(where), m_path(dir), m_keep(keep), m_topFlags(topFlags) {}

    CZyError run() {
        CZyError err = openDirStream(m_where, AT_FDCWD, m_path.c_str(), m_topFlags, m_path, &m_dir);
        if (err.IsError())
            return err;
        if (!mountOf(::dirfd(m_dir.get()), "", &m_mount))
            return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't stat directory %s",
                                           m_path.c_str());
        for (;;) {
            std::string subDir;
            err = removeEntries(&subDir);
            if (!err.IsError() && !subDir.empty())
                err = enter(subDir);
            else if (!err.IsError() && m_levels.empty())
                return finish();
            else if (!err.IsError())
                err = leave();
            if (err.IsError())
                return pushLevels(err);
        }
    }

  private:
    // A directory entered below the top: where its name starts in m_path, and the identity
    // of its parent, to recognise the way back up.
    struct Level {
        size_t m_nameStart;
        dev_t m_parentDev;
        ino_t m_parentIno;
        bool m_keepsSome;  // something below it stays, so it stays too
    };

    // Failures deeper than this many levels share one message, so that a failure at the
    // bottom of a very deep tree does not cost memory in the square of its depth.
    static constexpr size_t kNamedLevels = 256;

    // Unlinks the current directory's entries until it is empty or a sub-directory is met,
    // whose name then goes to *subDir. Linux reports a directory through unlink's EISDIR.
    CZyError removeEntries(std::string* subDir) {
        for (;;) {
            errno = 0;
            struct dirent64* entry = ::readdir64(m_dir.get());
            if (!entry && errno != 0)
                return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't read directory %s",
                                               m_path.c_str());
            if (!entry)
                return CZyError::Success();
            if (tqsys::IsDotOrDotDot(entry->d_name) || isKept(entry->d_name))
                continue;
            if (::unlinkat(::dirfd(m_dir.get()), entry->d_name, 0) == 0)
                continue;
            int e = errno;
            if (e == EISDIR) {
                subDir->assign(entry->d_name);
                return CZyError::Success();
            }
            // A file mounted over another one cannot be unlinked.
            Mount mount;
            if (e == EBUSY && mountOf(::dirfd(m_dir.get()), entry->d_name, &mount) &&
                !mount.same(m_mount)) {
                keep(m_path + "/" + entry->d_name, true);
                continue;
            }
            return JQErrorUtil::ErrorErrNo(m_where, e, "Couldn't remove %s",
                                           (m_path + "/" + entry->d_name).c_str());
        }
    }

    CZyError enter(const std::string& name) {
        struct stat st;
        if (::fstat(::dirfd(m_dir.get()), &st) != 0)
            return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't stat directory %s",
                                           m_path.c_str());
        m_levels.push_back(Level{m_path.size() + 1, st.st_dev, st.st_ino, false});
        m_path.append(1, '/').append(name);
        tqsys::UniqueDir child;
        CZyError err =
            openDirStream(m_where, ::dirfd(m_dir.get()), name.c_str(), O_NOFOLLOW, m_path, &child);
        if (err.IsError())
            return err;
        // Checked on the directory opened, so a mount made a moment before is seen too.
        Mount mount;
        if (!mountOf(::dirfd(child.get()), "", &mount))
            return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't stat directory %s",
                                           m_path.c_str());
        if (mount.same(m_mount)) {
            m_dir = std::move(child);
            return CZyError::Success();
        }
        const std::string path = m_path;
        m_path.resize(m_levels.back().m_nameStart - 1);
        m_levels.pop_back();
        keep(path, true);
        return CZyError::Success();
    }

    // Goes back up to the parent and removes the directory just emptied.
    CZyError leave() {
        const Level level = m_levels.back();
        const std::string parentPath = m_path.substr(0, level.m_nameStart - 1);
        tqsys::UniqueDir parent;
        CZyError err = openDirStream(m_where, ::dirfd(m_dir.get()), "..", 0, parentPath, &parent);
        if (err.IsError())
            return err;
        struct stat st;
        if (::fstat(::dirfd(parent.get()), &st) != 0)
            return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't stat directory %s",
                                           parentPath.c_str());
        if (st.st_dev != level.m_parentDev || st.st_ino != level.m_parentIno)
            return JQErrorUtil::ErrorErrNo(m_where, EBUSY,
                                           "Couldn't return to directory %s: it was moved",
                                           parentPath.c_str());
        const std::string childPath = m_path;
        m_dir = std::move(parent);
        m_levels.pop_back();
        m_path.resize(level.m_nameStart - 1);
        if (level.m_keepsSome) {
            keep(childPath, false);
            return CZyError::Success();
        }
        if (::unlinkat(::dirfd(m_dir.get()), childPath.c_str() + level.m_nameStart, AT_REMOVEDIR) !=
            0)
            return JQErrorUtil::ErrorErrNo(m_where, errno, "Couldn't remove directory %s",
                                           childPath.c_str());
        return CZyError::Success();
    }

    // Whether the current directory's entry name is to stay: the top's keep, unless a
    // directory, or an entry on another mount, or a directory holding one.
    bool isKept(const char* name) const {
        if (m_levels.empty() && m_keep && std::strcmp(name, m_keep) == 0) {
            struct stat st;
            if (::fstatat(::dirfd(m_dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(st.st_mode))
                return true;
        }
        return !m_kept.empty() && m_kept.count(m_path + "/" + name) != 0;
    }

    // Leaves path, an entry of the current directory, where it is, and so that directory.
    void keep(const std::string& path, bool isMount) {
        m_kept.insert(path);
        if (isMount && m_mounts++ == 0)
            m_firstMount = path;
        if (!m_levels.empty())
            m_levels.back().m_keepsSome = true;
    }

    CZyError finish() const {
        if (m_mounts == 0)
            return CZyError::Success();
        CZyError err = JQErrorUtil::ErrorErrNo(m_where, EXDEV,
                                               "Couldn't remove %s: it is on another file system",
                                               m_firstMount.c_str());
        return err.Push(m_where, "Couldn't empty %s: %zu mount point(s) below it left as they are",
                        m_path.c_str(), m_mounts);
    }

    // Adds "Couldn't remove directory" for each level entered, deepest first, as a
    // recursive walk would on its way back up.
    CZyError pushLevels(CZyError err) const {
        size_t level = m_levels.size();
        if (level > kNamedLevels) {
            err.Push(m_where, "Couldn't remove %zu nested directories below %s",
                     level - kNamedLevels, pathOfLevel(kNamedLevels - 1).c_str());
            level = kNamedLevels;
        }
        while (level-- > 0)
            err.Push(m_where, "Couldn't remove directory %s", pathOfLevel(level).c_str());
        return err;
    }

    std::string pathOfLevel(size_t level) const {
        return level + 1 < m_levels.size() ? m_path.substr(0, m_levels[level + 1].m_nameStart - 1)
                                           : m_path;
    }

    const JQCodeLocation m_where;
    tqsys::UniqueDir m_dir;  // the directory being emptied
    std::string m_path;
    std::vector<Level> m_levels;
    const char* const m_keep;
    const int m_topFlags;
    Mount m_mount;                 // the top's
    std::set<std::string> m_kept;  // the entries that stay, by path
    size_t m_mounts = 0;           // entries left for lying on another mount
    std::string m_firstMount;
};

// Unlinks the files and links of a tree on the walk's threads, and each folder once its walk
// has emptied it; never follows a link, nor enters a folder on another mount than mount, nor
// unlinks the top's entry keep. What it leaves, the tree remover removes or reports.
class FileUnlinker : public CTraverseFolder {
  public:
    FileUnlinker(const std::string& top, const Mount& mount, const char* keep)
        : m_mount(mount), m_keep(keep ? std::string("/") + keep : std::string()) {
        SetConcurrentHandlers(true);
        AddFolderToList(top, "");
    }
    CZyError OnFolder(const std::string& fullPath, const std::string& relativePath,
                      JQFile::CFileData& data) override {
        Mount mount;
        if (!mountOf(data.m_folderFd, data.m_name, &mount) || !mount.same(m_mount))
            return CZyError::Success();
        return CTraverseFolder::OnFolder(fullPath, relativePath, data);
    }
    // Checked again on the folder opened, so a mount made a moment before is seen too.
    bool OnFolderOpened(const std::string&, int fd) override {
        Mount mount;
        return mountOf(fd, "", &mount) && mount.same(m_mount);
    }
    CZyError OnFile(const std::string&, const std::string& relativePath,
                    JQFile::CFileData& data) override {
        if (!m_keep.empty() && relativePath == m_keep)
            return CZyError::Success();
        return unlinkEntry(data);
    }
    CZyError OnReparsePointFile(const std::string&, const std::string& relativePath,
                                JQFile::CFileData& data) override {
        return OnFile("", relativePath, data);
    }
    void OnFolderDone(const std::string&, const std::string&, JQFile::CFileData& data) override {
        if (data.m_folderFd >= 0)
            ::unlinkat(data.m_folderFd, data.m_name, AT_REMOVEDIR);
    }

  private:
    static CZyError unlinkEntry(const JQFile::CFileData& data) {
        if (::unlinkat(data.m_folderFd, data.m_name, 0) == 0 || errno == EISDIR)
            return CZyError::Success();
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, errno, "Couldn't remove %s", data.m_name);
    }

    const Mount m_mount;
    const std::string m_keep;  // "/" and the name, as the walk gives a top entry's path
};

}  // namespace

CZyError TqBlkBackingStore::mkdir(const std::string& path) {
    if (path.empty())
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Can't make a directory with empty name");
    if (tqblk_mkdir(path) == 0)
        return CZyError::Success();
    int e = errno;
    if (e == EEXIST)
        return judgeExisting(TQ_STORE_HERE, path);
    size_t slash = path.rfind('/');
    if (e == ENOENT && slash != std::string::npos) {
        CZyError err = TqBlkBackingStore::mkdir(path.substr(0, slash));
        if (err.IsError())
            return err.Push(TQ_STORE_HERE, "Can't make directory %s", path.c_str());
        if (tqblk_mkdir(path) == 0)
            return CZyError::Success();
        e = errno;
        // A path ending in "/", or a directory made meanwhile by someone else.
        if (e == EEXIST)
            return judgeExisting(TQ_STORE_HERE, path);
    }
    return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, e, "Can't make directory %s", path.c_str());
}

CZyError TqBlkBackingStore::makeParentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return CZyError::Success();
    return TqBlkBackingStore::mkdir(path.substr(0, slash));
}

CZyError TqBlkBackingStore::rmUnder(const std::string& dir) {
    return rmUnder(dir, nullptr, false);
}

CZyError TqBlkBackingStore::rmUnder(const std::string& dir, const char* keep, bool refuseLink) {
    if (dir.empty())
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Can't delete children of a directory with empty name");
    // A first pass unlinks the tree's files and links on as many threads as the walk takes,
    // and the folders it emptied, and leaves the rest to the remover, which then meets only
    // empty folders and what lies on other mounts. Should anything resist the first pass, it
    // stops, and the remover meets the same failure again and reports it as it always has.
    const size_t threads = CTraverseFolder::DefaultThreadCount();
    Mount mount;
    if (threads > 1 && mountOf(AT_FDCWD, dir.c_str(), &mount, !refuseLink) && mount.m_isDir) {
        FileUnlinker unlinker(dir, mount, keep);
        unlinker.SetThreadCount(threads);
        unlinker.Traverse();
    }
    return TreeRemover(TQ_STORE_HERE, dir, keep, refuseLink ? O_NOFOLLOW : 0).run();
}
