#include "Device.h"

// One emulated device's own members: its geometry, its MRU list and the history of recall
// answers. Callers hold the emulator's lock.

namespace tqemu {
namespace {

constexpr size_t kAnswerHistory = 64;

}  // namespace

int Device::extentSize() const {
    return privateStore.present() ? privateStore.extentSize : recallStore.extentSize;
}

long long Device::extentCount() const {
    return (deviceSize - 1) / extentSize() + 1;
}

long long Device::recallExtentCount() const {
    return recallStore.present() ? (deviceSize - 1) / recallStore.extentSize + 1 : 0;
}

void MruList::use(long long extent, size_t count) {
    auto found = m_where.find(extent);
    if (found != m_where.end()) {
        m_order.splice(m_order.begin(), m_order, found->second);
    } else {
        m_order.push_front(extent);
        m_where[extent] = m_order.begin();
    }
    trim(count);
}

void MruList::trim(size_t count) {
    while (m_order.size() > count) {
        m_where.erase(m_order.back());
        m_order.pop_back();
    }
}

void Device::recordAnswer(long long extent, int error) {
    answers.push_back(RecallAnswer{extent, error});
    if (answers.size() > kAnswerHistory)
        answers.pop_front();
}

}  // namespace tqemu
