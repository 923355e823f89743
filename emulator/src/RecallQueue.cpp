#include "RecallQueue.h"

#include <algorithm>

namespace tqemu {

bool RecallQueue::request(long long extent) {
    if (!m_outstanding.insert(extent).second)
        return false;
    m_queued.push_back(extent);
    return true;
}

bool RecallQueue::fetch(long long* extent) {
    if (m_queued.empty())
        return false;
    *extent = m_queued.front();
    m_queued.pop_front();
    m_fetched.push_back(*extent);
    return true;
}

bool RecallQueue::answer(long long extent) {
    if (m_outstanding.erase(extent) == 0)
        return false;
    auto fetched = std::find(m_fetched.begin(), m_fetched.end(), extent);
    if (fetched != m_fetched.end()) {
        m_fetched.erase(fetched);
    } else {
        m_queued.erase(std::find(m_queued.begin(), m_queued.end(), extent));
    }
    return true;
}

size_t RecallQueue::resubmit() {
    size_t count = m_fetched.size();
    m_queued.insert(m_queued.begin(), m_fetched.begin(), m_fetched.end());
    m_fetched.clear();
    return count;
}

void RecallQueue::clear() {
    m_queued.clear();
    m_fetched.clear();
    m_outstanding.clear();
}

}  // namespace tqemu
