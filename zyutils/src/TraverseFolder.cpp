#include <zyutils/TraverseFolder.h>

#include "WalkPool.h"

#include <tqsys/DirEntries.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
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

// Walk threads per processor the process may run on.
constexpr size_t kThreadsPerProcessor = 4;

// Descriptors a walk leaves to the rest of the process.
constexpr size_t kSpareDescriptors = 512;

}  // namespace

// What one thread of a walk owns: the paths of the entry being handled, a read buffer per
// level, the folders its handlers queued, and how deep it is below its task.
struct CTraverseFolder::Walker {
    std::string m_fullPath;
    std::string m_relativePath;
    std::vector<std::unique_ptr<char[]>> m_buffers;
    std::vector<Folder> m_added;
    size_t m_taskLevel = 0;    // the level of the task being walked
    bool m_holdsDeep = false;  // whether this thread holds the pool's deep mutex
    bool m_started = false;    // whether this thread may hand sub-folders to others
};

struct CTraverseFolder::Shared {
    zyutils::WalkPool<Folder> m_pool;
    size_t m_threads = 1;    // threads the walk may use
    size_t m_folders = 0;    // folders visited before the walk took more threads
    bool m_started = false;  // more threads taken (only the calling thread reads it first)
    std::mutex m_exceptionMutex;
    std::exception_ptr m_exception;  // the first exception a handler threw
};

namespace {

// The walk a thread works for, so that AddFolderToList from a handler reaches it.
thread_local void* tWalkOwner = nullptr;
thread_local void* tWalker = nullptr;

// Binds the calling thread to a walk for its lifetime.
class WalkerBinding {
  public:
    WalkerBinding(void* owner, void* walker) : m_owner(tWalkOwner), m_walker(tWalker) {
        tWalkOwner = owner;
        tWalker = walker;
    }
    ~WalkerBinding() {
        tWalkOwner = m_owner;
        tWalker = m_walker;
    }
    WalkerBinding(const WalkerBinding&) = delete;
    WalkerBinding& operator=(const WalkerBinding&) = delete;

  private:
    void* m_owner;
    void* m_walker;
};

}  // namespace

CTraverseFolder::CTraverseFolder() = default;
CTraverseFolder::~CTraverseFolder() = default;

size_t CTraverseFolder::DefaultThreadCount() {
    // The processors this process may run on, which may be fewer than the machine has.
    cpu_set_t cpus;
    size_t threads = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0
                         ? static_cast<size_t>(CPU_COUNT(&cpus))
                         : std::thread::hardware_concurrency();
    if (const char* pinned = std::getenv("TQBLK_THREADS")) {
        char* end = nullptr;
        unsigned long n = std::strtoul(pinned, &end, 10);
        if (end != pinned && *end == '\0' && n > 0)
            return std::min<size_t>(n, kMaxThreads);
    }
    // A walk mostly waits on directory reads, so threads beyond the processors keep more
    // reads in flight: on a cold disk four per processor walk several times faster than
    // one, and a warm tree loses nothing.
    return ThreadsForDescriptors(threads * kThreadsPerProcessor);
}

size_t CTraverseFolder::ThreadsForDescriptors(size_t wanted) {
    size_t threads = std::max<size_t>(1, std::min(wanted, kMaxThreads));
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const size_t soft = static_cast<size_t>(limit.rlim_cur);
        const size_t room = soft > kSpareDescriptors ? soft - kSpareDescriptors : 0;
        threads = std::max<size_t>(1, std::min(threads, room / (kSharedDepth + 2)));
    }
    return threads;
}

size_t CTraverseFolder::GetThreadCount() const {
    return m_threads > 0 ? std::min(m_threads, kMaxThreads) : DefaultThreadCount();
}

CZyError CTraverseFolder::AddFolderToList(const std::string& fullPath,
                                          const std::string& relativePath) {
    if (tWalkOwner == this && m_shared) {
        static_cast<Walker*>(tWalker)->m_added.push_back(
            Folder{fullPath, relativePath, false, -1, 0});
        return CZyError::Success();
    }
    m_queue.push_back(Folder{fullPath, relativePath, true, -1, 0});
    return CZyError::Success();
}

CZyError CTraverseFolder::Traverse() {
    OnInitializeWorker();
    Shared shared;
    shared.m_threads = m_concurrent ? GetThreadCount() : 1;
    for (Folder& folder : m_queue)
        shared.m_pool.Add(std::move(folder));
    m_queue.clear();
    m_shared = &shared;
    {
        Walker walker;
        WalkerBinding binding(this, &walker);
        runWorker(walker);
    }
    shared.m_pool.Finish([](Folder& folder) { tqsys::UniqueFd left(folder.m_fd); });
    m_shared = nullptr;
    if (shared.m_exception)
        std::rethrow_exception(shared.m_exception);
    return shared.m_pool.FirstError();
}

void CTraverseFolder::runWorker(Walker& w) {
    Shared& shared = *m_shared;
    Folder folder;
    while (shared.m_pool.Take(&folder)) {
        try {
            CZyError err = visitTask(w, folder);
            if (err.IsError())
                shared.m_pool.Fail(err);
            else if (!w.m_added.empty())
                shareAdded(w);  // queued by OnTraverseFolder or OnFolderDone
        } catch (...) {
            // A handler threw: the walk stops, and Traverse throws it again on its caller's
            // thread once every thread has ended.
            {
                std::lock_guard<std::mutex> lock(shared.m_exceptionMutex);
                if (!shared.m_exception)
                    shared.m_exception = std::current_exception();
            }
            shared.m_pool.Fail(JQErrorUtil::ErrorErrNo(JQ_HERE, ECANCELED, "Walk stopped"));
        }
        shared.m_pool.Done();
    }
}

void CTraverseFolder::startThreads(Walker& w) {
    Shared& shared = *m_shared;
    shared.m_started = true;
    for (size_t i = 1; i < shared.m_threads; ++i) {
        bool spawned = shared.m_pool.Spawn([this] {
            Walker walker;
            walker.m_started = true;
            WalkerBinding binding(this, &walker);
            OnInitializeWorker();
            runWorker(walker);
        });
        if (!spawned)
            break;
    }
    w.m_started = shared.m_pool.Threads() > 0;  // w is the calling thread's
}

CZyError CTraverseFolder::visitTask(Walker& w, Folder& folder) {
    tqsys::UniqueFd fd(folder.m_fd);  // a folder handed over comes opened
    folder.m_fd = -1;
    if (fd.get() < 0) {
        fd = tqsys::OpenRetrying(folder.m_fullPath.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd.get() < 0) {
            int e = errno;
            if (e == ENOENT && folder.m_queuedBeforeWalk)
                return CZyError::Success();
            return OnFolderFailed(folder.m_fullPath, folder.m_relativePath,
                                  JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open folder %s",
                                                          folder.m_fullPath.c_str()));
        }
    }
    w.m_fullPath = std::move(folder.m_fullPath);
    w.m_relativePath = std::move(folder.m_relativePath);
    w.m_taskLevel = folder.m_level;
    if (!OnFolderOpened(w.m_fullPath, fd.get()))
        return CZyError::Success();
    CZyError err = walkFolder(w, fd.get(), folder.m_level);
    if (!err.IsError() && folder.m_handedOver) {
        const size_t slash = w.m_fullPath.rfind('/');
        JQFile::CFileData data;
        data.m_name = w.m_fullPath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
        data.m_type = DT_DIR;
        data.m_inode = folder.m_inode;
        OnFolderDone(w.m_fullPath, w.m_relativePath, data);
    }
    return err;
}

CZyError CTraverseFolder::walkFolder(Walker& w, int fd, size_t level) {
    Shared& shared = *m_shared;
    if (shared.m_threads > 1 && !shared.m_started && ++shared.m_folders >= kSerialFolders)
        startThreads(w);
    OnTraverseFolder(w.m_fullPath, w.m_relativePath);
    const size_t depth = level - w.m_taskLevel;
    if (w.m_buffers.size() <= depth)
        w.m_buffers.emplace_back(new char[kReadBufferSize]);
    tqsys::DirEntryReader reader(fd, w.m_buffers[depth].get(), kReadBufferSize);
    const tqsys::LinuxDirent64* entry = nullptr;
    int r;
    size_t entries = 0;
    while ((r = reader.next(&entry)) > 0) {
        ++entries;
        CZyError err = visitEntry(w, fd, level, entry->d_name, entry->d_type, entry->d_ino);
        if (err.IsError())
            return err;
        // Another thread failed: this one's walk is no longer wanted. The error it returns
        // is never reported, for the pool keeps the first one only.
        if (w.m_started && shared.m_pool.Stopped())
            return JQErrorUtil::ErrorErrNo(JQ_HERE, ECANCELED, "Walk of %s stopped",
                                           w.m_fullPath.c_str());
    }
    if (r < 0)
        return OnFolderFailed(
            w.m_fullPath, w.m_relativePath,
            JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read folder %s", w.m_fullPath.c_str()));
    OnFolderRead(w.m_fullPath, w.m_relativePath, entries);
    return CZyError::Success();
}

void CTraverseFolder::shareAdded(Walker& w) {
    for (Folder& folder : w.m_added)
        m_shared->m_pool.Add(std::move(folder));
    w.m_added.clear();
}

CZyError CTraverseFolder::visitEntry(Walker& w, int dirFd, size_t level, const char* name,
                                     unsigned char type, unsigned long long inode) {
    PathMark fullMark(w.m_fullPath);
    PathMark relativeMark(w.m_relativePath);
    w.m_fullPath.append(1, '/').append(name);
    w.m_relativePath.append(1, '/').append(name);

    struct stat st;
    if (type == DT_UNKNOWN) {
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int e = errno;
            if (e == ENOENT)
                return CZyError::Success();  // removed while we read
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't stat %s", w.m_fullPath.c_str());
        }
        type = typeOfMode(st.st_mode);
    }
    JQFile::CFileData data;
    data.m_name = name;
    data.m_type = type;
    data.m_inode = inode;
    data.m_folderFd = dirFd;

    CZyError err;
    if (type == DT_DIR) {
        size_t queued = w.m_added.size();
        err = OnFolder(w.m_fullPath, w.m_relativePath, data);
        // A folder queued for exactly this entry is visited now, through its parent.
        if (!err.IsError() && w.m_added.size() == queued + 1 &&
            w.m_added.back().m_fullPath == w.m_fullPath &&
            w.m_added.back().m_relativePath == w.m_relativePath) {
            w.m_added.pop_back();
            err = enterSubFolder(w, dirFd, level, data);
        }
    } else if (type == DT_LNK) {
        bool leadsToFile = ::fstatat(dirFd, name, &st, 0) == 0 && !S_ISDIR(st.st_mode);
        err = leadsToFile ? OnFile(w.m_fullPath, w.m_relativePath, data)
                          : OnReparsePointFile(w.m_fullPath, w.m_relativePath, data);
    } else {
        err = OnFile(w.m_fullPath, w.m_relativePath, data);
    }
    if (!w.m_added.empty())
        shareAdded(w);
    if (err.IsError())
        err.Push(JQ_HERE);
    return err;
}

CZyError CTraverseFolder::enterSubFolder(Walker& w, int dirFd, size_t level,
                                         JQFile::CFileData& data) {
    const char* name = data.m_name;
    // Each level costs stack, a descriptor and a read buffer: a tree deep enough would
    // exhaust one of them, the stack first, and crash the process.
    if (level + 1 > m_maxDepth)
        return JQErrorUtil::ErrorErrNo(
            JQ_HERE, ELOOP, "Couldn't enter folder %s: it lies more than %zu levels deep",
            w.m_fullPath.c_str(), m_maxDepth);
    tqsys::UniqueFd fd = tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd.get() < 0)
        return OnFolderFailed(w.m_fullPath, w.m_relativePath,
                              JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open folder %s",
                                                      w.m_fullPath.c_str()));
    if (!OnFolderOpened(w.m_fullPath, fd.get()))
        return CZyError::Success();
    CZyError err;
    if (!w.m_started) {
        err = walkFolder(w, fd.get(), level + 1);
    } else {
        zyutils::WalkPool<Folder>& pool = m_shared->m_pool;
        // Somebody waits for work: hand the opened folder over instead of walking it here.
        if (pool.Hungry(m_shared->m_threads)) {
            Folder folder{w.m_fullPath, w.m_relativePath, false, fd.release(), level + 1};
            folder.m_handedOver = true;
            folder.m_inode = data.m_inode;
            pool.Add(std::move(folder));
            return CZyError::Success();
        }
        // Only one thread at a time goes further down than its share of descriptors.
        if (level + 1 - w.m_taskLevel <= kSharedDepth || w.m_holdsDeep) {
            err = walkFolder(w, fd.get(), level + 1);
        } else {
            std::unique_lock<std::mutex> deepLock(pool.DeepMutex());
            w.m_holdsDeep = true;
            struct Holding {
                bool& m_flag;
                ~Holding() { m_flag = false; }
            } holding{w.m_holdsDeep};
            err = walkFolder(w, fd.get(), level + 1);
        }
    }
    if (!err.IsError())
        OnFolderDone(w.m_fullPath, w.m_relativePath, data);
    return err;
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

void CTraverseFolder::OnFolderDone(const std::string&, const std::string&, JQFile::CFileData&) {}

CZyError CTraverseFolder::OnFolderFailed(const std::string&, const std::string&,
                                         const CZyError& err) {
    return err;
}

void CTraverseFolder::OnFolderRead(const std::string&, const std::string&, size_t) {}

bool CTraverseFolder::OnFolderOpened(const std::string&, int) {
    return true;
}
