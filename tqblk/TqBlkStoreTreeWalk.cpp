// The walk of a store's data tree that the bitmap scan and the checker share.

#include "StoreInternal.h"
#include "StoreTreeWalk.h"

#include <cstring>
#include <dirent.h>

namespace tqblk::store {

namespace {

int hexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

int canonicalGroup(const char* name) {
    if (name[0] < '0' || name[0] > '7' || name[1] == '\0' || name[2] != '\0')
        return -1;
    const int low = hexDigit(name[1]);
    return low < 0 ? -1 : (name[0] - '0') * 16 + low;
}

StoreTreeWalk::StoreTreeWalk(const std::string& dir, long long extentCount, size_t threads)
    : m_extentCount(extentCount), m_groups(firstGroupShift(extentCount) / 7 + 1) {
    SetConcurrentHandlers(true);
    if (threads > 0)
        SetThreadCount(ThreadsForDescriptors(threads));
    // Only extent directories are entered; this bounds the walk should a check be added.
    SetMaxDepth(static_cast<size_t>(m_groups));
    AddFolderToList(dir + "/data", "data");
}

CZyError StoreTreeWalk::OnFolder(const std::string& fullPath, const std::string& relativePath,
                                 JQFile::CFileData& data) {
    return classify(fullPath, relativePath, data, false);
}

CZyError StoreTreeWalk::OnFile(const std::string& fullPath, const std::string& relativePath,
                               JQFile::CFileData& data) {
    return classify(fullPath, relativePath, data, true);
}

CZyError StoreTreeWalk::OnReparsePointFile(const std::string& fullPath,
                                           const std::string& relativePath,
                                           JQFile::CFileData& data) {
    return classify(fullPath, relativePath, data, false);
}

// Entered folders are "data" and canonical groups below it, so the folder's relative path
// has the form "data/GG/GG..." and its length tells its level.
CZyError StoreTreeWalk::classify(const std::string& fullPath, const std::string& relativePath,
                                 JQFile::CFileData& data, bool asFile) {
    const size_t parentLength = relativePath.size() - std::strlen(data.m_name) - 1;
    const int level = static_cast<int>((parentLength - 4) / 3);
    const bool fileLevel = level >= m_groups - 1;
    const int group = canonicalGroup(data.m_name);
    TreeEntry entry{TreeEntryKind::kBadName, fileLevel, -1, asFile, data, relativePath};
    if (group < 0 || level >= m_groups)
        return OnTreeEntry(entry);
    unsigned long long value = 0;
    for (int i = 0; i < level; ++i) {
        const char* digits = relativePath.c_str() + 5 + 3 * i;
        value = value * 128 + static_cast<unsigned>(hexDigit(digits[0]) * 16 + hexDigit(digits[1]));
    }
    value = value * 128 + static_cast<unsigned>(group);
    const unsigned long long first = value << (7 * (m_groups - 1 - level));
    entry.extent = static_cast<long long>(first);
    if (first >= static_cast<unsigned long long>(m_extentCount)) {
        entry.kind = TreeEntryKind::kOutOfRange;
        return OnTreeEntry(entry);
    }
    if (fileLevel) {
        entry.kind = TreeEntryKind::kExtent;
        return OnTreeEntry(entry);
    }
    if (data.m_type == DT_DIR)
        return AddFolderToList(fullPath, relativePath);
    entry.kind = TreeEntryKind::kNotAFolder;
    return OnTreeEntry(entry);
}

}  // namespace tqblk::store
