#include "SyncGroup.h"

#include "ErrnoText.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace recalld {
namespace {

// fsync(2) through a descriptor of the directory's own. One opened now still reports a
// write-back error nobody has seen yet.
int fsyncDirectory(const std::string& dir) {
    Fd fd(openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (fd.get() < 0)
        return errno;
    while (::fsync(fd.get()) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

}  // namespace

SyncGroup::SyncGroup(std::string name) : SyncGroup(fsyncDirectory, std::move(name)) {}

SyncGroup::SyncGroup(std::function<int(const std::string&)> syncDir, std::string name)
    : m_syncDir(std::move(syncDir)), m_name(std::move(name)) {}

int SyncGroup::syncData(int fd, const std::string& path, std::string* detail) {
    ++m_dataSyncs;
    while (::fdatasync(fd) != 0) {
        if (errno == EINTR)
            continue;
        int e = errno;
        *detail = "Couldn't write the bytes of " + path + " to the disk: " + errnoText(e);
        return e;
    }
    return 0;
}

int SyncGroup::syncDirectories(const std::set<std::string>& dirs, std::string* detail) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_next)
        m_next = std::make_shared<Generation>();
    std::shared_ptr<Generation> mine = m_next;
    mine->dirs.insert(dirs.begin(), dirs.end());
    while (!mine->done) {
        // With no sync running, the generation not yet done is the one callers join: ours.
        if (!m_syncing)
            lead(lock);
        else
            m_ended.wait(lock);
    }
    if (mine->error != 0)
        *detail = "Couldn't sync directory " + mine->failed + " of " + m_name + ": " +
                  errnoText(mine->error);
    return mine->error;
}

int SyncGroup::syncEntriesOf(const std::string& path, const std::string& top, std::string* detail) {
    std::set<std::string> dirs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string dir = path;
        for (size_t slash; (slash = dir.rfind('/')) != std::string::npos && slash > 0;) {
            dir.resize(slash);
            // The file's own directory always; those above it until one is known durable.
            if (!dirs.empty() && m_durable.count(dir) > 0)
                break;
            dirs.insert(dir);
            if (dir == top)
                break;
        }
    }
    int e = syncDirectories(dirs, detail);
    if (e == 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_durable.insert(dirs.begin(), dirs.end());
    }
    return e;
}

// Closes the next generation to newcomers, syncs its directories without the lock held, and
// wakes everyone: its members to collect the outcome, the following generation's to elect a
// leader.
void SyncGroup::lead(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Generation> generation = m_next;
    m_next.reset();
    m_syncing = true;
    lock.unlock();
    int error = 0;
    std::string failed;
    for (const std::string& dir : generation->dirs) {
        ++m_directorySyncs;
        if ((error = m_syncDir(dir)) != 0) {
            failed = dir;
            break;
        }
    }
    lock.lock();
    generation->error = error;
    generation->failed = failed;
    generation->done = true;
    m_syncing = false;
    m_ended.notify_all();
}

}  // namespace recalld
