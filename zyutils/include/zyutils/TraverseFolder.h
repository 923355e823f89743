#ifndef ZYUTILS_TRAVERSEFOLDER_H
#define ZYUTILS_TRAVERSEFOLDER_H

#include <zyutils/ZyError.h>
#include <zyutils/ZyExport.h>

#include <memory>
#include <string>
#include <vector>

namespace JQFile {

// What the walk knows of one directory entry. Valid only during the handler call.
class ZY_EXPORT CFileData {
  public:
    const char* m_name = nullptr;  // the entry's name within its folder
    unsigned char m_type = 0;      // DT_DIR, DT_REG, DT_LNK, ... as the walk learnt it
    unsigned long long m_inode = 0;
    int m_folderFd = -1;  // the open folder that holds the entry, for *at system calls
};

}  // namespace JQFile

// Walks folder trees and hands each entry to a virtual handler.
//
// Queue folders with AddFolderToList, then call Traverse. For every entry of a visited
// folder (never "." or "..") one handler is called with the entry's full path and relative
// path: the folder's own paths, "/" and the entry's name.
//  - a folder goes to OnFolder, which queues it (AddFolderToList) to have it visited too;
//  - a symbolic link that leads to an existing entry that is not a folder goes to OnFile,
//    any other link to OnReparsePointFile; a link is never entered as a folder;
//  - every other entry goes to OnFile.
// The entry type comes from the directory entry itself; only links (and entries of a file
// system that reports no type) cost a stat. A sub-folder queued from OnFolder is visited at
// once, opened relative to its parent, so the walk holds one open folder, one read buffer
// and a few stack frames per level. To keep that bounded, a sub-folder more than
// GetMaxDepth() levels below the queued folder it was reached from is not entered: the walk
// fails with ELOOP and the sub-folder's path. Handlers are called one at a time, on the
// thread that called Traverse.
//
// A subclass whose handlers are safe to call from several threads at once may say so with
// SetConcurrentHandlers(true). The walk then starts alone on the calling thread and, once it
// has visited kSerialFolders folders, hands sub-folders to up to GetThreadCount() - 1 more
// threads, so a small tree costs no thread at all. Each thread calls OnInitializeWorker
// before its first handler; AddFolderToList called from a handler queues the folder on the
// walk. The first error found stops every thread, is the one Traverse returns, and no thread
// outlives Traverse. A thread holds at most kSharedDepth + 1 open folders at a time, unless
// it is the one thread allowed further down, so the walk holds about
// threads * (kSharedDepth + 2) + 2 * GetMaxDepth() descriptors at most.
class ZY_EXPORT CTraverseFolder {
  public:
    CTraverseFolder();
    virtual ~CTraverseFolder();

    CTraverseFolder(const CTraverseFolder&) = delete;
    CTraverseFolder& operator=(const CTraverseFolder&) = delete;

    // Queues a folder to be visited; never fails.
    CZyError AddFolderToList(const std::string& fullPath, const std::string& relativePath);

    // Visits queued folders until none is left. Fails with the errno and the folder's path
    // when a folder cannot be opened or read (a folder queued before Traverse that does not
    // exist is visited as empty), or with a handler's error, which ends the walk.
    CZyError Traverse();

    // Called as a folder's visit begins.
    virtual void OnTraverseFolder(const std::string& fullPath, const std::string& relativePath);
    // Default: queue the folder. Returning an error ends the walk.
    virtual CZyError OnFolder(const std::string& fullPath, const std::string& relativePath,
                              JQFile::CFileData& data);
    // Default: nothing. Returning an error ends the walk.
    virtual CZyError OnFile(const std::string& fullPath, const std::string& relativePath,
                            JQFile::CFileData& data);
    // Not called by this walk, which never follows links; kept for subclasses.
    virtual void OnTraverseReparsePoint(const std::string& fullPath,
                                        const std::string& relativePath, const std::string& target,
                                        unsigned int tag, const std::string& reserved);
    // Not called by this walk: links to folders go to OnReparsePointFile.
    virtual CZyError OnReparsePointFolder(const std::string& fullPath,
                                          const std::string& relativePath, JQFile::CFileData& data);
    // Default: nothing.
    virtual CZyError OnReparsePointFile(const std::string& fullPath,
                                        const std::string& relativePath, JQFile::CFileData& data);
    // Called once at the start of each Traverse on the calling thread and, when handlers are
    // concurrent, once on every further thread of the walk before it calls a handler.
    virtual void OnInitializeWorker();
    // Called when the visit of a folder entered from OnFolder has ended without error, on
    // the thread that walked it. data describes the folder as OnFolder saw it, but for
    // m_folderFd: the parent's open descriptor when the thread still holds it, -1 when
    // another thread took the folder over. Default: nothing.
    virtual void OnFolderDone(const std::string& fullPath, const std::string& relativePath,
                              JQFile::CFileData& data);
    // Called when a folder could not be opened or read, with the walk's error for it. What
    // it returns is the outcome: the default, err, ends the walk; success skips the folder
    // (the entries read before a read failed have been handled) and the walk goes on.
    virtual CZyError OnFolderFailed(const std::string& fullPath, const std::string& relativePath,
                                    const CZyError& err);
    // Called when every entry of a folder has been read and handled, on the thread that read
    // it, with the number of entries (never "." or ".."). Default: nothing.
    virtual void OnFolderRead(const std::string& fullPath, const std::string& relativePath,
                              size_t entries);
    // Called once a folder is open and before any of its entries is read, with its open
    // descriptor (borrowed), on the thread that will walk it. Returning false leaves the
    // folder unwalked, as if it were empty, and calls no OnFolderDone for it: a walk that must
    // stay on one mount checks the folder it really opened here. Default: true.
    virtual bool OnFolderOpened(const std::string& fullPath, int fd);

    // How many levels below a queued folder the walk enters; kDefaultMaxDepth unless set.
    static constexpr size_t kDefaultMaxDepth = 256;
    void SetMaxDepth(size_t levels) { m_maxDepth = levels; }
    size_t GetMaxDepth() const { return m_maxDepth; }

    // Whether handlers may be called from several threads at once; false unless set.
    void SetConcurrentHandlers(bool concurrent) { m_concurrent = concurrent; }
    bool GetConcurrentHandlers() const { return m_concurrent; }
    // How many threads a walk with concurrent handlers may use; 0 (the default) means
    // DefaultThreadCount().
    void SetThreadCount(size_t threads) { m_threads = threads; }
    size_t GetThreadCount() const;
    // The number in the environment variable TQBLK_THREADS (1 to kMaxThreads) when set,
    // otherwise four per processor this process may run on, up to kMaxThreads; fewer when the
    // descriptor limit (RLIMIT_NOFILE) would not allow that many threads their folders.
    static size_t DefaultThreadCount();
    // wanted (at least 1, at most kMaxThreads), fewer when the descriptor limit would not
    // allow that many threads their folders.
    static size_t ThreadsForDescriptors(size_t wanted);
    static constexpr size_t kMaxThreads = 8;
    // Folders a walk visits alone before it takes more threads.
    static constexpr size_t kSerialFolders = 64;
    // Levels below its task that a thread may hold open while other threads walk.
    static constexpr size_t kSharedDepth = 16;

  private:
    struct Folder {
        std::string m_fullPath;
        std::string m_relativePath;
        bool m_queuedBeforeWalk;
        int m_fd;                   // the folder already opened, or -1 to open it by its path
        size_t m_level;             // levels below the folder queued before the walk
        bool m_handedOver = false;  // entered from its parent's visit on another thread
        unsigned long long m_inode = 0;
    };
    struct Walker;
    struct Shared;

    void runWorker(Walker& w);
    void startThreads(Walker& w);
    CZyError visitTask(Walker& w, Folder& folder);
    CZyError walkFolder(Walker& w, int fd, size_t level);  // borrows fd
    CZyError visitEntry(Walker& w, int dirFd, size_t level, const char* name, unsigned char type,
                        unsigned long long inode);
    CZyError enterSubFolder(Walker& w, int dirFd, size_t level, JQFile::CFileData& data);
    void shareAdded(Walker& w);

    std::vector<Folder> m_queue;  // folders queued before the walk
    bool m_concurrent = false;
    size_t m_threads = 0;
    size_t m_maxDepth = kDefaultMaxDepth;
    Shared* m_shared = nullptr;  // the walk in progress
};

#endif
