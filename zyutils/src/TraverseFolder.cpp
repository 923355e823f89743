#include <zyutils/TraverseFolder.h>

#include <tqsys/DirEntries.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kReadBufferSize = 32 * 1024;

unsigned char typeOfMode(mode_t mode) {
    return static_cast<unsigned char>(IFTODT(mode));
}

// Restores a path buffer to its length from before an entry's name was appended.
class PathMark {
  public:
    explicit PathMark(std::string& path) : m_path(path), m_length(path.size()) {}
    ~PathMark() { m_path.resize(m_length); }
    PathMark(const PathMark&) = delete;
    PathMark& operator=(const PathMark&) = delete;

  private:
    std::string& m_path;
    size_t m_length;
};

}  // namespace

CTraverseFolder::CTraverseFolder() = default;
CTraverseFolder::~CTraverseFolder() = default;

CZyError CTraverseFolder::AddFolderToList(const std::string& fullPath,
                                          const std::string& relativePath) {
    m_queue.push_back(Folder{fullPath, relativePath, !m_walking});
    return CZyError::Success();
}

CZyError CTraverseFolder::Traverse() {
    OnInitializeWorker();
    m_walking = true;
    CZyError err;
    while (!err.IsError() && m_next < m_queue.size()) {
        Folder folder = std::move(m_queue[m_next++]);
        tqsys::UniqueFd fd = tqsys::OpenRetrying(folder.m_fullPath.c_str(), O_RDONLY | O_DIRECTORY);
        if (!fd.valid()) {
            int e = errno;
            if (e == ENOENT && folder.m_queuedBeforeWalk)
                continue;
            err = JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open folder %s",
                                          folder.m_fullPath.c_str());
            break;
        }
        m_fullPath = std::move(folder.m_fullPath);
        m_relativePath = std::move(folder.m_relativePath);
        err = walkFolder(fd.get(), 0);
    }
    m_queue.clear();
    m_next = 0;
    m_walking = false;
    return err;
}

// Borrows fd: the caller keeps it open for the walk and closes it.
CZyError CTraverseFolder::walkFolder(int fd, size_t level) {
    OnTraverseFolder(m_fullPath, m_relativePath);
    if (m_buffers.size() <= level)
        m_buffers.emplace_back(new char[kReadBufferSize]);
    tqsys::DirEntryReader reader(fd, m_buffers[level].get(), kReadBufferSize);
    const tqsys::LinuxDirent64* entry = nullptr;
    for (;;) {
        int r = reader.next(&entry);
        if (r < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read folder %s",
                                           m_fullPath.c_str());
        if (r == 0)
            return CZyError::Success();
        CZyError err = visitEntry(fd, level, entry->d_name, entry->d_type, entry->d_ino);
        if (err.IsError())
            return err;
    }
}

CZyError CTraverseFolder::visitEntry(int dirFd, size_t level, const char* name, unsigned char type,
                                     unsigned long long inode) {
    PathMark fullMark(m_fullPath);
    PathMark relativeMark(m_relativePath);
    m_fullPath.append(1, '/').append(name);
    m_relativePath.append(1, '/').append(name);

    struct stat st;
    if (type == DT_UNKNOWN) {
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int e = errno;
            if (e == ENOENT)
                return CZyError::Success();  // removed while we read
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't stat %s", m_fullPath.c_str());
        }
        type = typeOfMode(st.st_mode);
    }
    JQFile::CFileData data;
    data.m_name = name;
    data.m_type = type;
    data.m_inode = inode;

    CZyError err;
    if (type == DT_DIR) {
        size_t queued = m_queue.size();
        err = OnFolder(m_fullPath, m_relativePath, data);
        // A folder queued for exactly this entry is visited now, through its parent.
        if (!err.IsError() && m_queue.size() == queued + 1 &&
            m_queue.back().m_fullPath == m_fullPath &&
            m_queue.back().m_relativePath == m_relativePath) {
            m_queue.pop_back();
            err = visitSubFolder(dirFd, level, name);
        }
    } else if (type == DT_LNK) {
        bool leadsToFile = ::fstatat(dirFd, name, &st, 0) == 0 && !S_ISDIR(st.st_mode);
        err = leadsToFile ? OnFile(m_fullPath, m_relativePath, data)
                          : OnReparsePointFile(m_fullPath, m_relativePath, data);
    } else {
        err = OnFile(m_fullPath, m_relativePath, data);
    }
    if (err.IsError())
        err.Push(JQ_HERE);
    return err;
}

CZyError CTraverseFolder::visitSubFolder(int dirFd, size_t level, const char* name) {
    // Each level costs stack, a descriptor and a read buffer: a tree deep enough would
    // exhaust one of them, the stack first, and crash the process.
    if (level + 1 > m_maxDepth)
        return JQErrorUtil::ErrorErrNo(
            JQ_HERE, ELOOP, "Couldn't enter folder %s: it lies more than %zu levels deep",
            m_fullPath.c_str(), m_maxDepth);
    tqsys::UniqueFd fd = tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open folder %s",
                                       m_fullPath.c_str());
    return walkFolder(fd.get(), level + 1);
}

void CTraverseFolder::OnTraverseFolder(const std::string&, const std::string&) {}

CZyError CTraverseFolder::OnFolder(const std::string& fullPath, const std::string& relativePath,
                                   JQFile::CFileData&) {
    return AddFolderToList(fullPath, relativePath);
}

CZyError CTraverseFolder::OnFile(const std::string&, const std::string&, JQFile::CFileData&) {
    return CZyError::Success();
}

void CTraverseFolder::OnTraverseReparsePoint(const std::string&, const std::string&,
                                             const std::string&, unsigned int, const std::string&) {
}

CZyError CTraverseFolder::OnReparsePointFolder(const std::string&, const std::string&,
                                               JQFile::CFileData&) {
    return CZyError::Success();
}

CZyError CTraverseFolder::OnReparsePointFile(const std::string&, const std::string&,
                                             JQFile::CFileData&) {
    return CZyError::Success();
}

void CTraverseFolder::OnInitializeWorker() {}
