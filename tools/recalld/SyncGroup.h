#ifndef TQBLK_RECALLD_SYNCGROUP_H
#define TQBLK_RECALLD_SYNCGROUP_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace recalld {

// Makes placed extents durable. A file's bytes are synced through its own descriptor
// (fdatasync), never through a shared one: the kernel reports a write-back error once, to
// one descriptor, so a shared sync could hand one file's lost bytes to another caller as
// success. Its directory entries are made durable with fsync of the directories, and those
// syncs are shared between callers (group commit): a directory's entries are all written by
// one fsync, and its error goes to every caller whose entry it had to cover.
//
// A caller hands its directories over with an answer to call and, unless it must lead, goes
// on at once. When no sync runs, the caller leads: it syncs the union of the directories of
// every caller waiting without the lock held, calls each one's answer with the outcome of its
// own directories, and goes on leading while callers came meanwhile, so no caller waits
// unanswered. A caller that comes while a sync runs joins the generation after it: a sync
// that started before its entry was made may not cover it. Thread-safe.
class SyncGroup {
  public:
    // Told once a caller's directories are synced: 0, or the errno of a failed sync with
    // detail naming the directory. Called on the leader's thread, without the group's lock.
    using Answer = std::function<void(int error, const std::string& detail)>;

    // Syncs directories with fsync(2); name: the store's directory, for messages.
    explicit SyncGroup(std::string name);
    // Groups calls of syncDir (the directory's path; returns 0 or an errno) in place of fsync.
    SyncGroup(std::function<int(const std::string&)> syncDir, std::string name);
    SyncGroup(const SyncGroup&) = delete;
    SyncGroup& operator=(const SyncGroup&) = delete;

    // Writes the bytes and size of the file open at fd (path names it in messages) to the
    // disk through fd itself. Returns 0, or the errno with *detail.
    int syncData(int fd, const std::string& path, std::string* detail);

    // Calls answer once a sync of each directory in dirs that started after this call was
    // made has ended.
    void syncDirectories(std::set<std::string> dirs, Answer answer);

    // Makes the entry of the file at path durable, and those of the directories between it and
    // top (top included) the first time they are met: a directory made on the way must be on
    // the disk too. Then calls answer, as syncDirectories does.
    void syncEntriesOf(const std::string& path, const std::string& top, Answer answer);

    long long dataSyncs() const { return m_dataSyncs; }
    long long directorySyncs() const { return m_directorySyncs; }

  private:
    struct Caller {
        std::set<std::string> dirs;
        Answer answer;
    };

    void lead(std::vector<Caller>& generation);

    std::function<int(const std::string&)> m_syncDir;
    std::string m_name;
    std::mutex m_mutex;               // guards what follows
    std::vector<Caller> m_waiting;    // the next generation
    bool m_syncing = false;           // a leader is at work
    std::set<std::string> m_durable;  // directories synced once: their own entries are durable
    std::atomic<long long> m_dataSyncs{0};
    std::atomic<long long> m_directorySyncs{0};
};

}  // namespace recalld

#endif
