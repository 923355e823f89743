#include "SyncGroup.h"

#include "ErrnoText.h"

#include <tqsys/Retry.h>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace recalld {
namespace {

// fsync(2) through a descriptor of the directory's own. One opened now still reports a
// write-back error nobody has seen yet.
int fsyncDirectory(const std::string& dir) {
    tqsys::UniqueFd fd = tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (!fd.valid() || tqsys::RetryOnEintr([&] { return ::fsync(fd.get()); }) != 0)
        return errno;
    return 0;
}

}  // namespace

SyncGroup::SyncGroup(std::string name) : SyncGroup(fsyncDirectory, std::move(name)) {}

SyncGroup::SyncGroup(std::function<int(const std::string&)> syncDir, std::string name)
    : m_syncDir(std::move(syncDir)), m_name(std::move(name)) {}

int SyncGroup::syncData(int fd, const std::string& path, std::string* detail) {
    ++m_dataSyncs;
    if (tqsys::RetryOnEintr([fd] { return ::fdatasync(fd); }) != 0) {
        int e = errno;
        *detail = "Couldn't write the bytes of " + path + " to the disk: " + errnoText(e);
        return e;
    }
    return 0;
}

void SyncGroup::syncDirectories(std::set<std::string> dirs, Answer answer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiting.push_back({std::move(dirs), std::move(answer)});
    if (m_syncing)
        return;  // the leader takes it up once its running sync has ended
    m_syncing = true;
    while (!m_waiting.empty()) {
        std::vector<Caller> generation;
        generation.swap(m_waiting);
        lock.unlock();
        lead(generation);
        lock.lock();
    }
    m_syncing = false;
}

void SyncGroup::syncEntriesOf(const std::string& path, const std::string& top, Answer answer) {
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
    syncDirectories(dirs, [this, dirs, answer](int error, const std::string& detail) {
        if (error == 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_durable.insert(dirs.begin(), dirs.end());
        }
        answer(error, detail);
    });
}

// Syncs every directory of the generation once, each even after another failed, and gives
// each caller the outcome of its own directories.
void SyncGroup::lead(std::vector<Caller>& generation) {
    std::set<std::string> dirs;
    for (const Caller& caller : generation)
        dirs.insert(caller.dirs.begin(), caller.dirs.end());
    std::map<std::string, int> failed;
    for (const std::string& dir : dirs) {
        ++m_directorySyncs;
        if (int error = m_syncDir(dir))
            failed[dir] = error;
    }
    for (Caller& caller : generation) {
        auto failure = failed.end();
        for (auto dir = caller.dirs.begin(); failure == failed.end() && dir != caller.dirs.end();
             ++dir)
            failure = failed.find(*dir);
        if (failure == failed.end())
            caller.answer(0, "");
        else
            caller.answer(failure->second, "Couldn't sync directory " + failure->first + " of " +
                                               m_name + ": " + errnoText(failure->second));
    }
}

}  // namespace recalld
