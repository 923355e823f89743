#include "Emulator.h"

#include <algorithm>

// Recall handling: fetches that wait for a request, I/O that waits for recalled extents, the
// answers that end both, the timer that ends waits whose time is up, and the answers held
// back on a test's request.

namespace tqemu {
namespace {

// Hands each entry of entries that matches to take, then removes it.
template <class Entries, class Match, class Take>
void takeIf(Entries& entries, Match match, Take take) {
    for (auto it = entries.begin(); it != entries.end();) {
        if (match(*it)) {
            take(*it);
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

// Keeps a recall answer while answers are held; one interrupted already is dropped unapplied.
bool Emulator::holdAnswer(const AdminCall& call, AdminReplyPtr& reply) {
    if (call.code != TQBLK_RECALL_DONE || !m_holdAnswers)
        return false;
    if (reply->interrupted()) {
        reply->fail(EINTR);
        return true;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(call.record);
    HeldAnswer held{{bytes, bytes + call.inSize}, nullptr};
    m_held.push_back(std::move(held));
    m_held.back().reply = std::move(reply);
    return true;
}

void Emulator::interrupt(const void* key) {
    std::vector<std::shared_ptr<IoWaiter>> resumed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto named = [key](const auto& parked) { return parked.reply->key() == key; };
        auto failIt = [](auto& parked) { parked.reply->fail(EINTR); };
        for (auto& entry : m_devices) {
            Device& device = *entry.second;
            takeIf(device.waiters, named, failIt);
            takeIf(
                device.ioWaiters, [key](const auto& waiter) { return waiter->key == key; },
                [&resumed](auto& waiter) { resumed.push_back(std::move(waiter)); });
        }
        takeIf(m_held, named, failIt);
    }
    for (std::shared_ptr<IoWaiter>& waiter : resumed)
        waiter->resume(EINTR);
}

// Answers the held recall answers in arrival order, or drops them unapplied, as if the
// service had died before answering; then stops holding.
void Emulator::releaseHeld(bool apply) {
    m_holdAnswers = false;
    while (!m_held.empty()) {
        HeldAnswer held = std::move(m_held.front());
        m_held.pop_front();
        int error = ECANCELED;
        if (apply) {
            AdminCall call{TQBLK_RECALL_DONE, held.record.data(), held.record.size(), 0, 0};
            error = dispatch(call, held.reply);
        }
        if (error != 0)
            held.reply->fail(error);
    }
}

int Emulator::answerRecall(const tqblk_recall_done& record, Device& device) {
    if (record.extent < 0)
        return EINVAL;
    if (!device.recalls.answer(record.extent))
        return ENOENT;
    ++device.answerCount;
    device.recordAnswer(record.extent, record.error);
    answerIo(device, record.extent, record.error);
    return 0;
}

int Emulator::awaitRecalls(uint64_t dataIno, const std::vector<long long>& extents,
                           uint64_t answerCount, const ParkedRequest& request,
                           std::function<void(int)> resume, ReadWaits* waits) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Device* device = findByDataIno(dataIno);
    if (device == nullptr || device->aborted || m_stopping)
        return EIO;
    // A service places an extent before it answers: with no answer since the caller looked,
    // each extent it found absent has a request outstanding or needs one.
    if (device->answerCount != answerCount)
        return EAGAIN;
    if (request.interrupted())
        return EINTR;
    auto waiter = std::make_shared<IoWaiter>();
    waiter->key = request.key();
    for (long long extent : extents) {
        if (extent < 0 || extent >= device->recallExtentCount())
            return EIO;
        waiter->extents.insert(extent);
    }
    for (long long extent : waiter->extents) {
        const bool raised = device->recalls.request(extent);
        (raised ? waits->raised : waits->joined).push_back(extent);
    }
    serveWaiters(*device);
    waiter->resume = std::move(resume);
    // Last, and all or nothing: once parked, only the one who unparks it answers it.
    device->ioWaiters.push_back(std::move(waiter));
    return 0;
}

// Hands out the oldest queued request, or keeps the reply until one is raised or the wait
// is over.
int Emulator::fetchRecall(tqblk_recall_request& record, Device& device, AdminReplyPtr& reply) {
    long long extent = 0;
    if (device.waiters.empty() && device.recalls.fetch(&extent)) {
        record.extent = extent;
        return 0;
    }
    if (m_options.recallWait.count() == 0 || m_stopping)
        return EAGAIN;
    if (reply->interrupted())
        return EINTR;
    Clock::time_point deadline = DeadlineAfter(Clock::now(), m_options.recallWait);
    device.waiters.push_back(RecallWaiter{nullptr, record, deadline});
    device.waiters.back().reply = std::move(reply);
    // Every wait lasts as long, so the timer needs waking only when it has nothing due: a
    // service that waits for each next request would otherwise wake it every time.
    if (deadline < m_timerDue) {
        m_timerDue = deadline;
        m_timerWake.notify_all();
    }
    return 0;
}

void Emulator::serveWaiters(Device& device) {
    long long extent = 0;
    while (!device.waiters.empty() && device.recalls.fetch(&extent)) {
        RecallWaiter waiter = std::move(device.waiters.front());
        device.waiters.pop_front();
        waiter.record.extent = extent;
        waiter.reply->succeed(&waiter.record, sizeof waiter.record);
    }
}

void Emulator::failWaiters(Device& device, int error) {
    for (RecallWaiter& waiter : device.waiters)
        waiter.reply->fail(error);
    device.waiters.clear();
}

void Emulator::failIo(Device& device, int error) {
    for (std::shared_ptr<IoWaiter>& waiter : device.ioWaiters)
        m_deferred.push_back([waiter, error] { waiter->resume(error); });
    device.ioWaiters.clear();
}

// A failed answer fails every I/O that waits for the extent; a good one ends the waits of
// the I/O that waited for this extent last.
void Emulator::answerIo(Device& device, long long extent, int error) {
    std::vector<std::shared_ptr<IoWaiter>>& waiters = device.ioWaiters;
    for (auto it = waiters.begin(); it != waiters.end();) {
        std::shared_ptr<IoWaiter> waiter = *it;
        if (waiter->extents.erase(extent) == 0 || (error == 0 && !waiter->extents.empty())) {
            ++it;
            continue;
        }
        it = waiters.erase(it);
        int result = error == 0 ? 0 : EIO;
        m_deferred.push_back([waiter, result] { waiter->resume(result); });
    }
}

// Ends each waiting fetch with EAGAIN when its time is up.
void Emulator::timerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();  // nothing due
        for (auto& entry : m_devices) {
            std::deque<RecallWaiter>& waiters = entry.second->waiters;
            while (!waiters.empty() && waiters.front().deadline <= now) {
                waiters.front().reply->fail(EAGAIN);
                waiters.pop_front();
            }
            if (!waiters.empty())
                next = std::min(next, waiters.front().deadline);
        }
        m_timerDue = next;
        if (next == Clock::time_point::max()) {
            m_timerWake.wait(lock);
        } else {
            m_timerWake.wait_until(lock, next);
        }
    }
}

}  // namespace tqemu
