#include "SyncGroup.h"

#include "ErrnoText.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace recalld {

SyncGroup::SyncGroup(int dir, std::string name)
    : m_dir(dir),
      m_sync([this] { return ::syncfs(m_dir.get()) == 0 ? 0 : errno; }),
      m_name(std::move(name)) {}

SyncGroup::SyncGroup(std::function<int()> sync, std::string name)
    : m_sync(std::move(sync)), m_name(std::move(name)) {}

int SyncGroup::open(const std::string& dir, std::unique_ptr<SyncGroup>* group,
                    std::string* detail) {
    int fd = openRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        int e = errno;
        *detail = "Couldn't open " + dir + " to sync its file system: " + errnoText(e);
        return e;
    }
    group->reset(new SyncGroup(fd, dir));
    return 0;
}

int SyncGroup::waitForSync(std::string* detail) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_next)
        m_next = std::make_shared<Generation>();
    std::shared_ptr<Generation> mine = m_next;
    while (!mine->done) {
        // With no sync running, the generation not yet done is the one callers join: ours.
        if (!m_syncing)
            lead(lock);
        else
            m_ended.wait(lock);
    }
    if (mine->error != 0)
        *detail = "Couldn't sync the file system of " + m_name + ": " + errnoText(mine->error);
    return mine->error;
}

// Closes the next generation to newcomers, syncs without the lock held, and wakes everyone:
// its members to collect the outcome, the following generation's to elect a leader.
void SyncGroup::lead(std::unique_lock<std::mutex>& lock) {
    std::shared_ptr<Generation> generation = m_next;
    m_next.reset();
    m_syncing = true;
    lock.unlock();
    ++m_syncCount;
    int error = m_sync();
    lock.lock();
    generation->error = error;
    generation->done = true;
    m_syncing = false;
    m_ended.notify_all();
}

}  // namespace recalld
