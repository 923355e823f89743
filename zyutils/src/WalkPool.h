#ifndef ZYUTILS_WALKPOOL_H
#define ZYUTILS_WALKPOOL_H

#include <zyutils/ZyError.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace zyutils {

// The threads of one walk and the work they share: a first-in, first-out queue of tasks
// that any thread takes from, a count of busy threads to tell when the walk is done, and the
// first error found, which stops everyone. Task is moved in and out; Close(task) releases
// what a task that is never run holds.
template <typename Task>
class WalkPool {
  public:
    WalkPool() = default;
    WalkPool(const WalkPool&) = delete;
    WalkPool& operator=(const WalkPool&) = delete;
    ~WalkPool() { Join(); }

    // Takes the next task, waiting while other threads may still add some. False when the
    // walk is over: nothing left and nobody busy, or stopped.
    bool Take(Task* task) {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_stopped.load(std::memory_order_relaxed))
                return false;
            if (!m_tasks.empty())
                break;
            if (m_busy == 0) {
                m_wake.notify_all();
                return false;
            }
            m_waiting.fetch_add(1, std::memory_order_relaxed);
            m_wake.wait(lock);
            m_waiting.fetch_sub(1, std::memory_order_relaxed);
        }
        *task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_queued.store(m_tasks.size(), std::memory_order_relaxed);
        ++m_busy;
        return true;
    }

    // Ends the task that Take gave.
    void Done() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_busy == 0 && m_tasks.empty())
            m_wake.notify_all();
    }

    void Add(Task task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
        m_queued.store(m_tasks.size(), std::memory_order_relaxed);
        m_wake.notify_one();
    }

    // Whether a thread waits for work while fewer than `limit` tasks are queued: a hint,
    // read without the lock, for handing work over only when somebody can take it.
    bool Hungry(size_t limit) const {
        return m_waiting.load(std::memory_order_relaxed) > 0 &&
               m_queued.load(std::memory_order_relaxed) < limit;
    }

    // Keeps the first error and stops the walk.
    void Fail(const CZyError& err) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_first.IsError())
            m_first = err;
        m_stopped.store(true, std::memory_order_relaxed);
        m_wake.notify_all();
    }
    bool Stopped() const { return m_stopped.load(std::memory_order_relaxed); }
    CZyError FirstError() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

    // Runs body on a new thread; false when no thread could be made.
    template <typename Body>
    bool Spawn(Body body) {
        try {
            m_threads.emplace_back(std::move(body));
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    size_t Threads() const { return m_threads.size(); }

    // Waits for every spawned thread and releases the tasks left behind by a stop.
    template <typename Close>
    void Finish(Close close) {
        Join();
        for (Task& task : m_tasks)
            close(task);
        m_tasks.clear();
    }

    // Serialises the threads that go deeper than their share of descriptors allows.
    std::mutex& DeepMutex() { return m_deep; }

  private:
    void Join() {
        for (std::thread& t : m_threads)
            if (t.joinable())
                t.join();
        m_threads.clear();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    size_t m_busy = 0;
    // Changed under m_mutex, read without it by Hungry.
    std::atomic<size_t> m_waiting{0};
    std::atomic<size_t> m_queued{0};
    std::atomic<bool> m_stopped{false};
    CZyError m_first;
    std::vector<std::thread> m_threads;
    std::mutex m_deep;
};

}  // namespace zyutils

#endif
