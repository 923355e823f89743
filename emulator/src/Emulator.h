#ifndef TQBLK_EMULATOR_EMULATOR_H
#define TQBLK_EMULATOR_EMULATOR_H

#include "Device.h"
#include "ReadLog.h"
#include "RequestLog.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tqemu {

// The longest delay or wait in milliseconds that an option or control command may set
// (about 24.8 days); longer ones are refused rather than let the clock arithmetic overflow.
constexpr long long kMaxMillis = 2147483647;

// A recall bitmap is kept whole; one of more bytes than this is refused with EFBIG.
constexpr long long kMaxRecallBitmapBytes = 256LL << 20;

// now + delay, or the end of time when that lies beyond it.
Clock::time_point DeadlineAfter(Clock::time_point now, std::chrono::milliseconds delay);

struct EmulatorOptions {
    std::string mountPoint;                     // absolute; device names are paths below it
    std::chrono::milliseconds readyDelay{0};    // from creation until a device is ready
    std::chrono::milliseconds recallWait{200};  // how long a fetch waits before EAGAIN
    // Both from 0 to kMaxMillis; the emulator clamps values outside.
};

// One admin request as it arrives from the file system.
struct AdminCall {
    unsigned int code;
    const void* record;  // the bytes the kernel copied in from the caller
    size_t inSize;
    pid_t pid;        // the calling thread, whose memory holds bitmaps and MRU arrays
    uint64_t opener;  // the open admin file the request came through
};

// A device node and its data file as the file system shows them.
struct DeviceNode {
    uint64_t ino;
    std::string name;
    int minor;
    uint64_t dataIno;
    std::string dataName;
    long long size;
    bool writable;
};

// What a create request needs from files and from the caller's memory, gathered before the
// lock is taken: a store directory may lie anywhere, below this very mount included, and the
// caller's bitmap may be a mapping of a data file, so reading either may need the lock.
struct CreatePlan {
    int error = 0;        // the record or its stores are refused (EINVAL)
    int bitmapError = 0;  // the bitmap is too large (EFBIG) or cannot be read (EFAULT)
    tqblk_create_device record;
    std::unique_ptr<Device> device;
};

// A recall answer that arrived while answers are held.
struct HeldAnswer {
    std::vector<unsigned char> record;
    AdminReplyPtr reply;
};

// The state of the emulated kernel driver and its answers to admin requests. Thread-safe:
// one lock guards everything, and no request blocks a thread while it waits.
class Emulator {
  public:
    // readLog, when given, receives a line for each recall extent a read returns.
    explicit Emulator(EmulatorOptions options, std::unique_ptr<ReadLog> readLog = nullptr);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Answers the request now, or later for a fetch that waits for a recall request. Throws
    // nothing: a request that fails unexpectedly is answered with ENOMEM or EIO.
    void handleAdmin(const AdminCall& call, AdminReplyPtr reply) noexcept;
    // The caller of the request named key has interrupted it: a waiting fetch or a held
    // answer fails with EINTR (the answer unapplied), waiting device I/O resumes with EINTR.
    // A request that is not parked is left alone; it is refused when it would park.
    void interrupt(const void* key);
    // The last descriptor of an admin open is gone: aborts the auto-abort devices it made.
    void adminClosed(uint64_t opener);
    // Runs control commands, one per line. Returns 0, or the errno of the first that fails.
    int control(const std::string& commands);
    std::string renderLog() const;
    std::string renderState() const;

    // The data of the device whose data file is dataIno, and the count of recall answers it
    // has received so far; EIO when the device is aborted or gone (destroyed).
    int deviceData(uint64_t dataIno, std::shared_ptr<DeviceData>* data,
                   uint64_t* answerCount) const;
    // Parks device I/O until the recall extents it found absent are recalled, as a read of
    // them would: raises one request per extent (shared with requests already outstanding)
    // and returns 0; resume is then called once, later and outside the lock, with 0 when all
    // were answered as recalled, EIO when one failed or the device is aborted, destroyed or
    // gone, EINTR when the caller interrupts it; *waits gets the extents whose request it
    // raised and those it joined. Returns without parking: EAGAIN when an
    // answer arrived since the caller looked at the stores (answerCount as deviceData gave
    // it), so it must look again; EIO for a device aborted or gone; EINTR for a request
    // interrupted already. Looks at no file, so the stores never block the lock.
    int awaitRecalls(uint64_t dataIno, const std::vector<long long>& extents, uint64_t answerCount,
                     const ParkedRequest& request, std::function<void(int)> resume,
                     ReadWaits* waits);
    // Marks the device extents that a read returned as most recently used, in order, and
    // logs them with where they came from (waits: what the read waited for) and the reader.
    void noteRead(uint64_t dataIno, const std::vector<long long>& extents, const ReadWaits& waits,
                  pid_t reader);

    // Finds a device node or data file by name or inode.
    bool findNode(const std::string& name, DeviceNode* node) const;
    bool findNode(uint64_t ino, DeviceNode* node) const;
    std::vector<DeviceNode> nodes() const;

    // Fails every waiting fetch and stops the timer; later requests are still answered.
    void shutdown();

  private:
    void serveAdmin(const AdminCall& call, AdminReplyPtr& reply);
    bool holdAnswer(const AdminCall& call, AdminReplyPtr& reply);
    int dispatch(const AdminCall& call, AdminReplyPtr& reply);
    template <class Record, class Body>
    int onDevice(const AdminCall& call, AdminReplyPtr& reply, bool live, Body body);
    template <class Record>
    int lookup(const Record& record, Device** device);
    int lookup(const tqblk_device_ref& ref, Device** device);
    int findByUuid(const char (&uuid)[TQBLK_UUID_LEN], Device** device);
    static CreatePlan planCreate(const AdminCall& call);
    int createDevice(CreatePlan& plan, uint64_t opener, AdminReplyPtr& reply);
    int config(const AdminCall& call, AdminReplyPtr& reply);
    int fetchRecall(tqblk_recall_request& record, Device& device, AdminReplyPtr& reply);
    int answerRecall(const tqblk_recall_done& record, Device& device);
    Device* findByDataIno(uint64_t dataIno) const;
    int listMru(tqblk_get_mru_exts& record, const Device& device, pid_t pid, AdminReplyPtr& reply);

    template <class Match>
    bool findNodeWhere(Match match, DeviceNode* node) const;
    int controlLine(const std::string& line);
    int raiseRecall(const std::string& uuid, long long extent);
    int useExtent(const std::string& uuid, long long extent);

    static int validateCreate(const tqblk_create_device& record, pid_t pid, Device* device);
    static int readBitmap(const tqblk_create_device& record, pid_t pid, Device* device);
    int freeMinor() const;
    void abort(Device& device);
    void serveWaiters(Device& device);
    void failWaiters(Device& device, int error);
    // Ends the device's waiting I/O; the callbacks run once the lock is released.
    void failIo(Device& device, int error);
    void answerIo(Device& device, long long extent, int error);
    void destroy(Device& device);
    // Runs the callbacks that were deferred while the lock was held; call without the lock.
    void runDeferred();
    void releaseHeld(bool apply);
    void timerLoop();

    const EmulatorOptions m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_timerWake;
    Clock::time_point m_timerDue = Clock::time_point::max();  // when the timer wakes next
    bool m_stopping = false;
    std::map<std::string, std::unique_ptr<Device>> m_devices;  // by UUID
    std::chrono::milliseconds m_readyDelay;
    int m_config = 0;
    int m_failNext = 0;  // errno for the next admin request, 0 for none
    bool m_holdAnswers = false;
    std::deque<HeldAnswer> m_held;                  // oldest first
    std::vector<std::function<void()>> m_deferred;  // to run once the lock is released
    uint64_t m_nextIno;
    RequestLog m_log;
    std::unique_ptr<ReadLog> m_readLog;  // null without --read-log
    std::thread m_timer;
};

}  // namespace tqemu

#endif
