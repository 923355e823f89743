#ifndef TQBLK_EMULATOR_RECALLQUEUE_H
#define TQBLK_EMULATOR_RECALLQUEUE_H

#include <cstddef>
#include <deque>
#include <unordered_set>
#include <vector>

namespace tqemu {

// The recall requests of one device. A request is queued until a service fetches it, then
// fetched until it is answered. Each extent is outstanding at most once, so readers of the
// same extent share one request. Not thread-safe: the emulator's lock guards it.
class RecallQueue {
  public:
    // Asks for the extent to be recalled. False when it is outstanding already.
    bool request(long long extent);
    // Moves the oldest queued request to the fetched ones. False when none is queued.
    bool fetch(long long* extent);
    // Answers an outstanding request, fetched or still queued. False when the extent was
    // not asked for.
    bool answer(long long extent);
    // Queues again, ahead of the rest and in fetch order, every fetched request that has
    // no answer yet. Returns how many were queued again.
    size_t resubmit();
    // Drops every outstanding request.
    void clear();

    bool hasQueued() const { return !m_queued.empty(); }
    std::vector<long long> queued() const { return {m_queued.begin(), m_queued.end()}; }
    const std::vector<long long>& fetched() const { return m_fetched; }

  private:
    std::deque<long long> m_queued;
    std::vector<long long> m_fetched;
    std::unordered_set<long long> m_outstanding;
};

}  // namespace tqemu

#endif
