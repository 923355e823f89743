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
    // Called once at the start of each Traverse, on the walking thread.
    virtual void OnInitializeWorker();

    // How many levels below a queued folder the walk enters; kDefaultMaxDepth unless set.
    static constexpr size_t kDefaultMaxDepth = 256;
    void SetMaxDepth(size_t levels) { m_maxDepth = levels; }
    size_t GetMaxDepth() const { return m_maxDepth; }

  private:
    struct Folder {
        std::string m_fullPath;
        std::string m_relativePath;
        bool m_queuedBeforeWalk;
    };

    CZyError walkFolder(int fd, size_t level);  // borrows fd
    CZyError visitEntry(int dirFd, size_t level, const char* name, unsigned char type,
                        unsigned long long inode);
    CZyError visitSubFolder(int dirFd, size_t level, const char* name);

    std::vector<Folder> m_queue;  // folders waiting, visited first in, first out
    size_t m_next = 0;            // index of the next folder of m_queue to visit
    bool m_walking = false;
    size_t m_maxDepth = kDefaultMaxDepth;
    std::string m_fullPath;  // full path of the entry being handled
    std::string m_relativePath;
    std::vector<std::unique_ptr<char[]>> m_buffers;  // one directory read buffer per level
};

#endif
