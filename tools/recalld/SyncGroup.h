#ifndef TQBLK_RECALLD_SYNCGROUP_H
#define TQBLK_RECALLD_SYNCGROUP_H

#include "SysUtil.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace recalld {

// Makes what callers wrote to one file system durable, with syncs shared between them
// (group commit). A sync is a syncfs(2) of the whole file system: it writes back every dirty
// page and inode there and commits the journal, so it covers the bytes and size of a written
// file as well as renames, links and directories made, on any file system; since Linux 5.8 it
// also reports write-back errors. It flushes other programs' dirty data on that file system
// too, which is why a recall store is best on a file system of its own.
//
// Callers join the next generation of syncs. When no sync runs, one of them (the leader)
// starts that generation's sync without the lock held while the others wait, then hands every
// member its outcome. A caller that comes while a sync runs joins the generation after it:
// a sync that started before its file was written or moved in may not cover it. Thread-safe.
class SyncGroup {
  public:
    // dir: an open descriptor of a directory on the file system, owned from now on; name: the
    // directory's path, for messages.
    SyncGroup(int dir, std::string name);
    // Groups calls of sync (returning 0 or an errno) in place of syncfs.
    SyncGroup(std::function<int()> sync, std::string name);
    SyncGroup(const SyncGroup&) = delete;
    SyncGroup& operator=(const SyncGroup&) = delete;

    // Opens dir and makes *group for its file system. Returns 0, or the errno with *detail.
    static int open(const std::string& dir, std::unique_ptr<SyncGroup>* group, std::string* detail);

    // Returns once a sync of the file system that started after this call was made has
    // ended: 0, or the errno of that sync with *detail telling what failed.
    int waitForSync(std::string* detail);

    // The syncs made so far.
    long long syncCount() const { return m_syncCount; }

  private:
    struct Generation {
        bool done = false;
        int error = 0;
    };

    void lead(std::unique_lock<std::mutex>& lock);

    Fd m_dir;
    std::function<int()> m_sync;
    std::string m_name;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    std::shared_ptr<Generation> m_next;  // the one callers join; null when none waits
    bool m_syncing = false;
    std::atomic<long long> m_syncCount{0};
};

}  // namespace recalld

#endif
