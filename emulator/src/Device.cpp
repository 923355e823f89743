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

void Device::use(long long extent) {
    for (auto it = mru.begin(); it != mru.end(); ++it) {
        if (*it == extent) {
            mru.erase(it);
            break;
        }
    }
    mru.push_front(extent);
    while (mru.size() > static_cast<size_t>(mruCount))
        mru.pop_back();
}

void Device::recordAnswer(long long extent, int error) {
    answers.push_back(RecallAnswer{extent, error});
    if (answers.size() > kAnswerHistory)
        answers.pop_front();
}

}  // namespace tqemu
