#ifndef TQBLK_STORETREEWALK_H
#define TQBLK_STORETREEWALK_H

// The one walk of a store's data tree that the extent bitmap scan and the store checker
// share. Not installed.

#include <zyutils/TraverseFolder.h>

#include <string>

namespace tqblk::store {

// Value of a canonical name group ("00" to "7f"), or -1.
int canonicalGroup(const char* name);

// Where a data tree entry stands, as the walk classified it by its name and place.
enum class TreeEntryKind {
    kExtent,      // an extent name of the store at the file level, below the extent count
    kNotAFolder,  // an extent directory name in range, at a folder level, but no folder
    kBadName,     // no canonical group name ("00" to "7f")
    kOutOfRange,  // a canonical name whose (first) extent is past the extent count
};

struct TreeEntry {
    TreeEntryKind kind;
    bool fileLevel;           // the entry stands where extent files belong
    long long extent;         // kExtent: its number; kOutOfRange: the first extent it names
    bool reportedAsFile;      // the walk gave it to OnFile: no folder, no link leading nowhere
    JQFile::CFileData& data;  // name, type (DT_LNK for any link) and folder descriptor
    const std::string& relativePath;  // "data/..." relative to the store directory
};

// Walks dir/data on the folder walk's threads (handlers concurrent), entering only folders
// whose names are extent directories of the store in range, so it never goes deeper than the
// store's name depth. Every other entry reaches OnTreeEntry once.
class StoreTreeWalk : public CTraverseFolder {
  public:
    // threads: 0 for the folder walk's default (TQBLK_THREADS, processors, descriptors).
    StoreTreeWalk(const std::string& dir, long long extentCount, size_t threads);

    int Groups() const { return m_groups; }
    long long ExtentCount() const { return m_extentCount; }

    // Called concurrently from the walk's threads; an error ends the walk.
    virtual CZyError OnTreeEntry(const TreeEntry& entry) = 0;

    CZyError OnFolder(const std::string& fullPath, const std::string& relativePath,
                      JQFile::CFileData& data) override;
    CZyError OnFile(const std::string& fullPath, const std::string& relativePath,
                    JQFile::CFileData& data) override;
    CZyError OnReparsePointFile(const std::string& fullPath, const std::string& relativePath,
                                JQFile::CFileData& data) override;

  private:
    CZyError classify(const std::string& fullPath, const std::string& relativePath,
                      JQFile::CFileData& data, bool asFile);

    long long m_extentCount;
    int m_groups;  // name groups of the store's extents; all but the last are folder levels
};

}  // namespace tqblk::store

#endif
