#ifndef TQBLK_EMULATOR_DEVICE_H
#define TQBLK_EMULATOR_DEVICE_H

#include "DeviceData.h"
#include "RecallQueue.h"

#include <tqblk/unix/tqblk_admin.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tqemu {

using Clock = std::chrono::steady_clock;

// The block major of emulated device nodes. 240 to 254 are for local use, so no driver of
// the machine answers it; the mount is nodev besides, so the nodes never open as devices.
constexpr unsigned int kDeviceMajor = 240;

// A request that the emulator may keep (park) until a later event answers it, and that its
// caller may interrupt meanwhile.
class ParkedRequest {
  public:
    virtual ~ParkedRequest() = default;
    // What names the request in Emulator::interrupt; null for one that cannot be interrupted.
    virtual const void* key() const { return nullptr; }
    // True once the caller has interrupted it. Asked only before the request is answered.
    virtual bool interrupted() const { return false; }
};

// The answer to one admin request. Exactly one of the two is called, once, from any thread.
class AdminReply : public ParkedRequest {
  public:
    // Ends the request with result 0; the caller gets as much of record as its code reads back.
    virtual void succeed(const void* record, size_t size) = 0;
    virtual void fail(int error) = 0;
};
using AdminReplyPtr = std::unique_ptr<AdminReply>;

// One backing store of a device as the create request gave it.
struct Store {
    std::string dir;   // as sent
    std::string path;  // where the emulator finds it: dir resolved against the caller's cwd
    int extentSize = 0;

    bool present() const { return extentSize != 0 || !dir.empty(); }
};

// A fetch of a recall request that waits for one to be raised.
struct RecallWaiter {
    AdminReplyPtr reply;
    tqblk_recall_request record;
    Clock::time_point deadline;
};

// A read or write of a device's data file that waits for recall extents to be answered.
struct IoWaiter {
    const void* key = nullptr;    // the request, for Emulator::interrupt
    std::set<long long> extents;  // recall extents not answered yet
    // Called once, outside the emulator's lock: 0 when every extent was answered as
    // recalled, else the errno to fail the I/O with (EINTR when the caller interrupted it).
    std::function<void(int error)> resume;
};

// How a service answered one recall request.
struct RecallAnswer {
    long long extent;
    int error;
};

// A device's most recently used extents, most recent first; a use is O(1), so a long list
// costs reads nothing.
class MruList {
  public:
    using const_iterator = std::list<long long>::const_iterator;
    // Puts the extent first; the list keeps at most count extents.
    void use(long long extent, size_t count);
    void trim(size_t count);
    size_t size() const { return m_order.size(); }
    const_iterator begin() const { return m_order.begin(); }
    const_iterator end() const { return m_order.end(); }

  private:
    std::list<long long> m_order;
    std::unordered_map<long long, std::list<long long>::iterator> m_where;
};

// One device of the emulated driver.
struct Device {
    std::string uuid;
    int minor = 0;
    uint64_t nodeIno = 0;  // inode of its device node in the mount
    std::string nodeName;  // name of that node in the mount's root
    std::string name;      // the device's name: the node's path
    uint64_t dataIno = 0;  // inode of its data file in the mount
    std::string dataName;  // name of that file: the node's name and ".data"
    long long deviceSize = 0;
    Store privateStore;
    Store recallStore;
    std::string recallDeviceName;
    std::vector<unsigned char> recallBitmap;  // one bit per recall extent, lowest bit first
    bool autoAbort = false;
    uint64_t creator = 0;  // the admin open that created it, for auto-abort
    bool aborted = false;
    bool monitored = false;
    Clock::time_point readyAt;
    int mruCount = 64;
    // Most recent first, at most mruCount: the recall store's extents read from it when the
    // device has one (the extents a service may prune), else the device's extents.
    MruList mru;
    int blockSizes[TQBLK_BLOCK_SIZE_COUNT] = {};
    RecallQueue recalls;
    std::deque<RecallWaiter> waiters;  // oldest first, so deadlines ascend
    std::deque<RecallAnswer> answers;  // the latest answers, oldest first
    uint64_t answerCount = 0;          // answers ever received, to tell whether one came since
    std::shared_ptr<DeviceData> data;  // its bytes, read and written outside the lock
    std::vector<std::shared_ptr<IoWaiter>> ioWaiters;

    // The extent size of device I/O: the private store's when there is one.
    int extentSize() const;
    // Number of extents in units of extentSize(), and of the recall store's extent size.
    long long extentCount() const;
    long long recallExtentCount() const;
    // Marks an extent as the most recently used one.
    void use(long long extent) { mru.use(extent, static_cast<size_t>(mruCount)); }
    void recordAnswer(long long extent, int error);
};

}  // namespace tqemu

#endif
