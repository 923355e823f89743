#include <zyutils/TraverseFolder.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr size_t kReadBufferSize = 32 * 1024;

// The record that getdents64 fills; glibc declares no type for it.
struct LinuxDirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

class FolderFd {
  public:
    explicit FolderFd(int fd) : m_fd(fd) {}
    ~FolderFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
    int get() const { return m_fd; }

  private:
    int m_fd;
};

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

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
        int fd = ::open(folder.m_fullPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            if (e == ENOENT && folder.m_queuedBeforeWalk)
                continue;
            err = JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open folder %s",
                                          folder.m_fullPath.c_str());
            break;
        }
        m_fullPath = std::move(folder.m_fullPath);
        m_relativePath = std::move(folder.m_relativePath);
        err = walkFolder(fd, 0);
    }
    m_queue.clear();
    m_next = 0;
    m_walking = false;
    return err;
}

CZyError CTraverseFolder::walkFolder(int fd, size_t level) {
    FolderFd folder(fd);
    OnTraverseFolder(m_fullPath, m_relativePath);
    if (m_buffers.size() <= level)
        m_buffers.emplace_back(new char[kReadBufferSize]);
    char* buffer = m_buffers[level].get();
    for (;;) {
        long n;
        do {
            n = ::syscall(SYS_getdents64, fd, buffer, kReadBufferSize);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't read folder %s",
                                           m_fullPath.c_str());
        if (n == 0)
            return CZyError::Success();
        for (long offset = 0; offset < n;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (isDotOrDotDot(entry->d_name))
                continue;
            CZyError err = visitEntry(fd, level, entry->d_name, entry->d_type, entry->d_ino);
            if (err.IsError())
                return err;
        }
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
    int fd;
    do {
        fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open folder %s",
                                       m_fullPath.c_str());
    return walkFolder(fd, level + 1);
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
