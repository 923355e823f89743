#include "Emulator.h"

#include "CallerMemory.h"
#include "StoreConfig.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace tqemu {
namespace {

constexpr uint64_t kFirstDeviceIno = 100;
constexpr int kMinorCount = 1 << 20;
constexpr size_t kLogCapacity = 1024;
constexpr int kMaxMruCount = 1 << 16;
constexpr bool kLive = true;  // the request concerns the device's I/O: refused once aborted
constexpr bool kAny = false;

bool isPow2(long long value) {
    return value > 0 && (value & (value - 1)) == 0;
}

// Reads a NUL-terminated text field; false when the field holds no NUL.
template <size_t N>
bool readText(const char (&field)[N], std::string* text) {
    size_t length = strnlen(field, N);
    if (length == N)
        return false;
    text->assign(field, length);
    return true;
}

// Copies the request's record; the kernel sends exactly the size its code encodes.
template <class Record>
int decode(const AdminCall& call, Record* record) {
    if (call.inSize != sizeof(Record))
        return EINVAL;
    std::memcpy(record, call.record, sizeof(Record));
    return 0;
}

// A store directory the caller gave relative to its working directory.
std::string resolveDir(pid_t pid, const std::string& dir) {
    if (dir.empty() || dir[0] == '/')
        return dir;
    std::string joined = "/proc/" + std::to_string(pid) + "/cwd/" + dir;
    char* real = ::realpath(joined.c_str(), nullptr);
    if (real == nullptr)
        return joined;
    std::string resolved(real);
    std::free(real);
    return resolved;
}

// A store is usable when its directory holds a config file that agrees with the sizes sent.
bool storeMatches(const Store& store, long long deviceSize) {
    if (store.dir.empty() || store.extentSize < 2 || !isPow2(store.extentSize))
        return false;
    StoreMetrics metrics;
    if (readStoreMetrics(store.path, &metrics) != 0)
        return false;
    return metrics.deviceSize == deviceSize && metrics.extentSize == store.extentSize;
}

StoreArea areaOf(const Store& store, long long deviceSize) {
    StoreArea area;
    if (store.present()) {
        area.path = store.path;
        area.extentSize = store.extentSize;
        area.extentCount = (deviceSize - 1) / store.extentSize + 1;
    }
    return area;
}

// A copy of MRU extents into the caller's array, made once the lock is released: the array
// may be a mapping of a data file, and the page fault's read of that file needs the lock.
struct MruCopyOut {
    pid_t pid = 0;
    tqblk_get_mru_exts record;
    std::vector<int64_t> extents;
    AdminReplyPtr reply;

    void finish() {
        int error = writeCallerMemory(pid, record.extents, extents.data(),
                                      extents.size() * sizeof(int64_t));
        if (error != 0) {
            reply->fail(error);
        } else {
            reply->succeed(&record, sizeof record);
        }
    }
};

// Answers a request that an exception ended, unless it was answered or parked already.
void failUnanswered(AdminReplyPtr& reply, int error) {
    if (reply)
        reply->fail(error);
}

// The reply to a recall answer, sent once the reads that the answer ends are served: a
// waiting reader need not wait while the service is woken first. Sent when dropped, so an
// answer kept for later (held answers) is replied to when it is applied or failed.
class ReplyAfterReads : public AdminReply {
  public:
    explicit ReplyAfterReads(AdminReplyPtr reply) : m_reply(std::move(reply)) {}
    ~ReplyAfterReads() override {
        if (m_error == 0)
            m_reply->succeed(m_record.data(), m_record.size());
        else if (m_error > 0)
            m_reply->fail(m_error);
        // Never ended: the reply's own drop fails it.
    }
    const void* key() const override { return m_reply->key(); }
    bool interrupted() const override { return m_reply->interrupted(); }
    void succeed(const void* record, size_t size) override {
        const char* bytes = static_cast<const char*>(record);
        m_record.assign(bytes, bytes + size);
        m_error = 0;
    }
    void fail(int error) override { m_error = error; }

  private:
    AdminReplyPtr m_reply;
    std::vector<char> m_record;
    int m_error = -1;  // -1 until the request ends
};

}  // namespace

Clock::time_point DeadlineAfter(Clock::time_point now, std::chrono::milliseconds delay) {
    if (delay.count() <= 0)
        return now;
    auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return delay >= room ? Clock::time_point::max() : now + delay;
}

namespace {

std::chrono::milliseconds clampMillis(std::chrono::milliseconds value) {
    return std::chrono::milliseconds(std::min(std::max<long long>(value.count(), 0), kMaxMillis));
}

EmulatorOptions clamped(EmulatorOptions options) {
    options.readyDelay = clampMillis(options.readyDelay);
    options.recallWait = clampMillis(options.recallWait);
    return options;
}

}  // namespace

Emulator::Emulator(EmulatorOptions options, std::unique_ptr<ReadLog> readLog)
    : m_options(clamped(std::move(options))),
      m_readyDelay(m_options.readyDelay),
      m_nextIno(kFirstDeviceIno),
      m_log(kLogCapacity),
      m_readLog(std::move(readLog)),
      m_timer(&Emulator::timerLoop, this) {}

Emulator::~Emulator() {
    shutdown();
}

void Emulator::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_stopping = true;
        for (auto& entry : m_devices) {
            failWaiters(*entry.second, ENODEV);
            failIo(*entry.second, EIO);
        }
        releaseHeld(false);
        if (m_readLog)
            m_readLog->flush();
    }
    m_timerWake.notify_all();
    m_timer.join();
    runDeferred();
}

void Emulator::handleAdmin(const AdminCall& call, AdminReplyPtr reply) noexcept {
    try {
        if (call.code == TQBLK_RECALL_DONE)
            reply = std::make_unique<ReplyAfterReads>(std::move(reply));
        serveAdmin(call, reply);
    } catch (const std::bad_alloc&) {
        failUnanswered(reply, ENOMEM);
    } catch (...) {
        failUnanswered(reply, EIO);
    }
    // The reads an answer ends are served first, then the answer is replied to.
    runDeferred();
}

void Emulator::serveAdmin(const AdminCall& call, AdminReplyPtr& reply) {
    CreatePlan plan;
    if (call.code == TQBLK_CREATE_DEVICE)
        plan = planCreate(call);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.add(call.code, call.record, call.inSize);
    int error = m_failNext;
    m_failNext = 0;
    if (error == 0 && holdAnswer(call, reply))
        return;
    if (error == 0) {
        error = call.code == TQBLK_CREATE_DEVICE ? createDevice(plan, call.opener, reply)
                                                 : dispatch(call, reply);
    }
    if (error != 0)
        reply->fail(error);
}

void Emulator::runDeferred() {
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.swap(m_deferred);
    }
    // Each call answers its own request and catches what it throws; this is the last line.
    for (std::function<void()>& call : calls) {
        try {
            call();
        } catch (...) {
        }
    }
}

// Each handler answers through reply, or keeps it for later, and returns 0; or it returns
// the errno to fail the request with.
int Emulator::dispatch(const AdminCall& call, AdminReplyPtr& reply) {
    switch (call.code) {
        case TQBLK_ABORT_DEVICE:
            return onDevice<tqblk_device_ref>(call, reply, kAny, [this](auto&, Device& device) {
                abort(device);
                return 0;
            });
        case TQBLK_DESTROY_DEVICE:
            return onDevice<tqblk_device_ref>(call, reply, kAny, [this](auto&, Device& device) {
                destroy(device);
                return 0;
            });
        case TQBLK_MONITOR_DEVICE:
            return onDevice<tqblk_device_uuid>(call, reply, kAny, [](auto&, Device& device) {
                device.monitored = true;
                return 0;
            });
        case TQBLK_CHECK_DEVICE:
            return onDevice<tqblk_check_device>(
                call, reply, kLive, [](auto& record, Device& device) {
                    record.ready = Clock::now() >= device.readyAt ? 1 : 0;
                    return 0;
                });
        case TQBLK_GET_RECALL_REQUEST:
            return onDevice<tqblk_recall_request>(
                call, reply, kLive,
                [&](auto& record, Device& device) { return fetchRecall(record, device, reply); });
        case TQBLK_RECALL_DONE:
            return onDevice<tqblk_recall_done>(
                call, reply, kLive,
                [this](auto& record, Device& device) { return answerRecall(record, device); });
        case TQBLK_RESUBMIT_RECALLS:
            return onDevice<tqblk_device_uuid>(call, reply, kLive, [this](auto&, Device& device) {
                device.recalls.resubmit();
                serveWaiters(device);
                return 0;
            });
        case TQBLK_GET_CONFIG:
        case TQBLK_SET_CONFIG:
            return config(call, reply);
        case TQBLK_SET_MRU_EXTS:
            return onDevice<tqblk_set_mru_exts>(
                call, reply, kAny, [](auto& record, Device& device) {
                    if (record.count < 0 || record.count > kMaxMruCount)
                        return EINVAL;
                    device.mruCount = record.count;
                    device.mru.trim(static_cast<size_t>(record.count));
                    return 0;
                });
        case TQBLK_GET_MRU_EXTS:
            return onDevice<tqblk_get_mru_exts>(call, reply, kAny,
                                                [&](auto& record, Device& device) {
                                                    return listMru(record, device, call.pid, reply);
                                                });
        case TQBLK_SET_BLOCK_SIZES:
            return onDevice<tqblk_block_sizes>(call, reply, kAny, [](auto& record, Device& device) {
                for (int size : record.block_sizes) {
                    if (!isPow2(size) || size > device.extentSize())
                        return EINVAL;
                }
                std::memcpy(device.blockSizes, record.block_sizes, sizeof device.blockSizes);
                return 0;
            });
        default:
            return ENOTTY;
    }
}

// Decodes the record, finds the device it names and runs body on both; aborted devices are
// refused when kLive is asked for. Answers with the record as body left it, unless body kept
// the reply for later.
template <class Record, class Body>
int Emulator::onDevice(const AdminCall& call, AdminReplyPtr& reply, bool live, Body body) {
    Record record;
    Device* device = nullptr;
    int error = decode(call, &record);
    if (error == 0)
        error = lookup(record, &device);
    if (error == 0 && live && device->aborted)
        error = ESHUTDOWN;
    if (error == 0)
        error = body(record, *device);
    if (error == 0 && reply)
        reply->succeed(&record, sizeof record);
    return error;
}

int Emulator::config(const AdminCall& call, AdminReplyPtr& reply) {
    tqblk_config record;
    std::memset(&record, 0, sizeof record);
    if (call.code == TQBLK_SET_CONFIG) {
        int error = decode(call, &record);
        if (error != 0)
            return error;
        m_config = record.config;
    }
    record.config = m_config;
    reply->succeed(&record, sizeof record);
    return 0;
}

// Checks the record and its stores, reading their config files; the lock is not held.
int Emulator::validateCreate(const tqblk_create_device& record, pid_t pid, Device* device) {
    if (!readText(record.uuid, &device->uuid) || device->uuid.empty())
        return EINVAL;
    Store& priv = device->privateStore;
    Store& recall = device->recallStore;
    if (!readText(record.private_dir, &priv.dir) || !readText(record.recall_dir, &recall.dir) ||
        !readText(record.recall_device_name, &device->recallDeviceName)) {
        return EINVAL;
    }
    priv.extentSize = record.private_extent_size;
    recall.extentSize = record.recall_extent_size;
    priv.path = resolveDir(pid, priv.dir);
    recall.path = resolveDir(pid, recall.dir);
    device->deviceSize = record.device_size;

    if (!priv.present() && !recall.present())
        return EINVAL;
    if (device->deviceSize < 1)
        return EINVAL;
    if (priv.present() && !storeMatches(priv, device->deviceSize))
        return EINVAL;
    if (recall.present() && !storeMatches(recall, device->deviceSize))
        return EINVAL;
    if (priv.present() && recall.present() && priv.extentSize > recall.extentSize)
        return EINVAL;
    if (!device->recallDeviceName.empty() && !priv.present())
        return EINVAL;
    if (record.recall_bitmap != 0 && (device->recallDeviceName.empty() || !recall.present())) {
        return EINVAL;
    }
    if (record.auto_abort > 1)
        return EINVAL;
    return 0;
}

// Reads the caller's recall bitmap, one bit per recall extent; the lock is not held.
int Emulator::readBitmap(const tqblk_create_device& record, pid_t pid, Device* device) {
    if (record.recall_bitmap == 0)
        return 0;
    long long bytes = (device->recallExtentCount() - 1) / 8 + 1;
    if (bytes > kMaxRecallBitmapBytes)
        return EFBIG;
    device->recallBitmap.resize(static_cast<size_t>(bytes));
    return readCallerMemory(pid, record.recall_bitmap, device->recallBitmap.data(),
                            device->recallBitmap.size());
}

CreatePlan Emulator::planCreate(const AdminCall& call) {
    CreatePlan plan;
    plan.error = decode(call, &plan.record);
    if (plan.error != 0)
        return plan;
    plan.device = std::make_unique<Device>();
    plan.error = validateCreate(plan.record, call.pid, plan.device.get());
    if (plan.error == 0)
        plan.bitmapError = readBitmap(plan.record, call.pid, plan.device.get());
    return plan;
}

int Emulator::freeMinor() const {
    std::vector<bool> used(kMinorCount);
    for (const auto& entry : m_devices)
        used[entry.second->minor] = true;
    for (int minor = 0; minor < kMinorCount; ++minor) {
        if (!used[minor])
            return minor;
    }
    return -1;
}

// Adds the device that plan describes, once it is known that its UUID is new.
int Emulator::createDevice(CreatePlan& plan, uint64_t opener, AdminReplyPtr& reply) {
    if (plan.error != 0)
        return plan.error;
    std::unique_ptr<Device>& device = plan.device;
    tqblk_create_device& record = plan.record;
    if (m_devices.count(device->uuid) != 0)
        return EEXIST;
    if (plan.bitmapError != 0)
        return plan.bitmapError;
    device->minor = freeMinor();
    if (device->minor < 0)
        return ENOSPC;
    device->nodeName = "tqblk" + std::to_string(device->minor);
    device->name = m_options.mountPoint;
    if (device->name.empty() || device->name.back() != '/')
        device->name += '/';
    device->name += device->nodeName;
    if (device->name.size() >= sizeof record.device_name)
        return ENAMETOOLONG;

    device->nodeIno = m_nextIno++;
    device->dataIno = m_nextIno++;
    device->dataName = device->nodeName + ".data";
    device->data = std::make_shared<DeviceData>(device->deviceSize,
                                                areaOf(device->privateStore, device->deviceSize),
                                                areaOf(device->recallStore, device->deviceSize));
    device->autoAbort = record.auto_abort != 0;
    device->creator = opener;
    device->readyAt = DeadlineAfter(Clock::now(), m_readyDelay);
    const int defaults[TQBLK_BLOCK_SIZE_COUNT] = {512, 4096, 4096, device->extentSize()};
    for (int i = 0; i < TQBLK_BLOCK_SIZE_COUNT; ++i) {
        device->blockSizes[i] = std::min(defaults[i], device->extentSize());
    }
    std::memset(record.device_name, 0, sizeof record.device_name);
    std::memcpy(record.device_name, device->name.data(), device->name.size());
    m_devices[device->uuid] = std::move(device);
    reply->succeed(&record, sizeof record);
    return 0;
}

int Emulator::findByUuid(const char (&uuid)[TQBLK_UUID_LEN], Device** device) {
    std::string text;
    if (!readText(uuid, &text))
        return EINVAL;
    auto found = m_devices.find(text);
    if (found == m_devices.end())
        return ENODEV;
    *device = found->second.get();
    return 0;
}

template <class Record>
int Emulator::lookup(const Record& record, Device** device) {
    return findByUuid(record.uuid, device);
}

// A device is named by UUID, or by the minor number of its node when minor is not -1.
int Emulator::lookup(const tqblk_device_ref& ref, Device** device) {
    if (ref.minor == -1)
        return findByUuid(ref.uuid, device);
    for (auto& entry : m_devices) {
        if (entry.second->minor == ref.minor) {
            *device = entry.second.get();
            return 0;
        }
    }
    return ENODEV;
}

void Emulator::abort(Device& device) {
    device.aborted = true;
    failWaiters(device, ESHUTDOWN);
    failIo(device, EIO);
    device.recalls.clear();
}

void Emulator::destroy(Device& device) {
    failWaiters(device, ENODEV);
    failIo(device, EIO);
    // Its reads are over: whoever replays them finds them all.
    if (m_readLog)
        m_readLog->flush();
    m_devices.erase(device.uuid);
}

Device* Emulator::findByDataIno(uint64_t dataIno) const {
    for (const auto& entry : m_devices) {
        if (entry.second->dataIno == dataIno)
            return entry.second.get();
    }
    return nullptr;
}

int Emulator::deviceData(uint64_t dataIno, std::shared_ptr<DeviceData>* data,
                         uint64_t* answerCount) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    Device* device = findByDataIno(dataIno);
    if (device == nullptr || device->aborted)
        return EIO;
    *data = device->data;
    *answerCount = device->answerCount;
    return 0;
}

void Emulator::noteRead(uint64_t dataIno, const std::vector<long long>& extents,
                        const ReadWaits& waits, pid_t reader) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Device* device = findByDataIno(dataIno);
    if (device == nullptr)
        return;
    for (long long extent : extents) {
        device->use(extent);
        if (m_readLog)
            m_readLog->add(device->name, extent, waits.originOf(extent), reader);
    }
}

// Writes up to the caller's count of MRU extents into its array, and answers, once the lock
// is released.
int Emulator::listMru(tqblk_get_mru_exts& record, const Device& device, pid_t pid,
                      AdminReplyPtr& reply) {
    if (record.count < 0)
        return EINVAL;
    size_t count = std::min(static_cast<size_t>(record.count), device.mru.size());
    auto copy = std::make_shared<MruCopyOut>();
    copy->pid = pid;
    copy->record = record;
    copy->record.count = static_cast<int32_t>(count);
    copy->extents.assign(device.mru.begin(),
                         std::next(device.mru.begin(), static_cast<std::ptrdiff_t>(count)));
    m_deferred.push_back([copy] { copy->finish(); });
    copy->reply = std::move(reply);
    return 0;
}

}  // namespace tqemu
