#include "FuseFs.h"

#include "Emulator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tqemu {
namespace {

enum : fuse_ino_t { kRootIno = FUSE_ROOT_ID, kAdminIno, kControlIno, kLogIno, kStateIno };

struct FixedFile {
    const char* name;
    fuse_ino_t ino;
    mode_t mode;
};

// The files the mount always shows beside the device nodes.
const FixedFile kFixedFiles[] = {
    {"admin", kAdminIno, S_IFREG | 0600},
    {"control", kControlIno, S_IFREG | 0200},
    {"log", kLogIno, S_IFREG | 0400},
    {"state", kStateIno, S_IFREG | 0400},
};

// Device nodes come and go, so the kernel must ask again each time.
constexpr double kFixedTimeout = 1.0;
constexpr double kDeviceTimeout = 0.0;

const time_t kStartTime = std::time(nullptr);
std::atomic<uint64_t> g_nextOpener{1};

// The texts of the open "log" and "state" files, by file handle. Each is dropped on release,
// or with the table at exit when the emulator stops before a release arrives.
class Snapshots {
  public:
    uint64_t add(std::string text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_texts.emplace(m_next, std::move(text));
        return m_next++;
    }
    // A copy of the part asked for: once it is replied the reader may close the file, and
    // its release drops the text while this thread may still look at the reply's buffer.
    std::string part(uint64_t handle, off_t offset, size_t size) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string& text = m_texts.at(handle);
        size_t start = std::min(static_cast<size_t>(offset), text.size());
        return text.substr(start, std::min(size, text.size() - start));
    }
    void drop(uint64_t handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_texts.erase(handle);
    }

  private:
    std::mutex m_mutex;
    std::map<uint64_t, std::string> m_texts;
    uint64_t m_next = 1;
};
Snapshots g_snapshots;

Emulator& emulatorOf(fuse_req_t req) {
    return *static_cast<Emulator*>(fuse_req_userdata(req));
}

// Runs a request's handler. No exception may reach libfuse, whose C frames cannot pass one
// on: one that escapes fails the request, which the handler has not answered then (each
// answers as its last step, or hands the request to an owner that answers it).
template <class Handler>
void guarded(fuse_req_t req, Handler handler) noexcept {
    try {
        handler();
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    } catch (...) {
        fuse_reply_err(req, EIO);
    }
}

// libfuse calls this when the caller of a request that may be parked is interrupted (by a
// signal, or killed), from another thread, or at once when registered after the fact. The
// request stays valid during the call, so it names the request, whatever became of it.
void onInterrupt(fuse_req_t req, void* emulator) {
    try {
        static_cast<Emulator*>(emulator)->interrupt(req);
    } catch (...) {
        // Left parked: the event it waits for still answers it.
    }
}

// Lets the emulator learn of interrupts of a request it may park. Registered before it can
// be parked, and never under the emulator's lock: libfuse holds the request's own lock while
// it calls onInterrupt, which takes the emulator's.
void watchInterrupts(fuse_req_t req) {
    fuse_req_interrupt_func(req, onInterrupt, fuse_req_userdata(req));
}

// Answers an admin request through the kernel, which copies the record back to the caller.
class FuseAdminReply : public AdminReply {
  public:
    FuseAdminReply(fuse_req_t req, size_t outSize) : m_req(req), m_outSize(outSize) {}
    ~FuseAdminReply() override {
        if (m_req != nullptr)
            fuse_reply_err(m_req, EIO);
    }
    const void* key() const override { return m_req; }
    bool interrupted() const override { return fuse_req_interrupted(m_req) != 0; }
    void succeed(const void* record, size_t size) override {
        fuse_reply_ioctl(m_req, 0, record, std::min(size, m_outSize));
        m_req = nullptr;
    }
    void fail(int error) override {
        fuse_reply_err(m_req, error);
        m_req = nullptr;
    }

  private:
    fuse_req_t m_req;
    size_t m_outSize;
};

// How often one request recalls its extents without getting further: an extent pruned again
// between its recall and the read that waited for it is recalled again, but answers that
// keep claiming success with no file in place end in EIO.
constexpr int kRecallRounds = 3;

// Device I/O through a data file. A request whose extents must be recalled first does not hold
// a worker thread while it waits: the emulator keeps it and resumes it from the thread that
// receives the last answer, which tries once more and fails with EIO if data is still absent.
class DataRequest : public ParkedRequest, public std::enable_shared_from_this<DataRequest> {
  public:
    DataRequest(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset)
        : m_req(req), m_emulator(emulatorOf(req)), m_ino(ino), m_size(size), m_offset(offset) {}
    ~DataRequest() override {
        if (m_req != nullptr)
            fuse_reply_err(m_req, EIO);
    }
    const void* key() const override { return m_req; }
    bool interrupted() const override { return fuse_req_interrupted(m_req) != 0; }

    // Serves the request, parking it when recalls must come first (up to `rounds` times);
    // answers it on failure.
    void attempt(int rounds) noexcept {
        try {
            serve(rounds);
        } catch (const std::bad_alloc&) {
            fail(ENOMEM);
        } catch (...) {
            fail(EIO);
        }
    }

  protected:
    // Does the I/O and replies; or lists the recall extents it needs first, or returns the
    // errno to fail with.
    virtual int perform(Emulator& emulator, DeviceData& data, std::vector<long long>* missing) = 0;
    // How much of the request is done, for a request that does it piece by piece.
    virtual size_t progress() const { return 0; }
    void fail(int error) {
        if (m_req == nullptr)
            return;
        fuse_reply_err(m_req, error);
        m_req = nullptr;
    }

    fuse_req_t m_req;  // null once answered
    Emulator& m_emulator;
    fuse_ino_t m_ino;
    size_t m_size;
    off_t m_offset;
    ReadWaits m_waits;  // the recalls it waited for

  private:
    void serve(int rounds) {
        bool watched = false;
        for (;;) {
            std::shared_ptr<DeviceData> data;
            uint64_t answers = 0;
            std::vector<long long> missing;
            const size_t before = progress();
            int error = m_emulator.deviceData(m_ino, &data, &answers);
            if (error == 0)
                error = perform(m_emulator, *data, &missing);
            // Rounds count those that brought nothing in.
            if (progress() > before)
                rounds = kRecallRounds;
            if (error == 0 && missing.empty())
                return;
            if (error != 0 || rounds <= 0)
                return fail(error != 0 ? error : EIO);
            if (!watched) {
                watchInterrupts(m_req);
                watched = true;
            }
            error = park(missing, answers, rounds - 1);
            if (error == 0)
                return;  // whoever resumes it answers it now: hands off
            if (error != EAGAIN)
                return fail(error);
        }
    }

    // Waits for the recalls; EAGAIN when answers came since the stores were read. Once they
    // are answered it tries again, and recalls again what was pruned meanwhile, a few times
    // over: a service that answers without placing the extent gets EIO, not a loop.
    int park(const std::vector<long long>& missing, uint64_t answers, int rounds) {
        std::shared_ptr<DataRequest> self = shared_from_this();
        return m_emulator.awaitRecalls(
            m_ino, missing, answers, *this,
            [self, rounds](int result) {
                if (result != 0)
                    return self->fail(result);
                self->attempt(rounds);
            },
            &m_waits);
    }
};

class DataRead : public DataRequest {
  public:
    using DataRequest::DataRequest;

  private:
    int perform(Emulator& emulator, DeviceData& data, std::vector<long long>* missing) override {
        size_t size = data.clip(m_offset, m_size);
        // One buffer per worker thread, kept: a fresh one per read would cost a large
        // allocation and its page faults every time.
        thread_local std::vector<char> buffer;
        if (buffer.size() < size)
            buffer.resize(size);
        // A read that waited keeps the pieces it has: only what was missing is read again.
        const bool first = m_done.empty();
        char* out = first ? buffer.data() : m_partial.data();
        // What earlier rounds read stays in m_used: the read returns those extents too.
        int error = data.read(m_offset, m_size, out, missing, &m_used, &m_done);
        if (error != 0)
            return error;
        if (!missing->empty()) {
            // Nothing read yet (the common lone miss): the next round starts afresh in the
            // buffer of the thread that resumes it, without a copy of the whole read kept.
            if (progress() == 0)
                m_done.clear();
            else if (first)
                m_partial.assign(buffer.begin(),
                                 buffer.begin() + static_cast<std::ptrdiff_t>(size));
            return 0;
        }
        emulator.noteRead(m_ino, m_used, m_waits, fuse_req_ctx(m_req)->pid);
        fuse_reply_buf(m_req, out, size);
        m_req = nullptr;
        return 0;
    }
    size_t progress() const override {
        return static_cast<size_t>(std::count(m_done.begin(), m_done.end(), true));
    }

    std::vector<char> m_partial;    // the bytes read so far, once the read waited
    std::vector<bool> m_done;       // its pieces read so far
    std::vector<long long> m_used;  // the extents the MRU list takes from the pieces read
};

class DataWrite : public DataRequest {
  public:
    DataWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset)
        : DataRequest(req, ino, size, offset), m_bytes(buf, buf + size) {}

  private:
    int perform(Emulator&, DeviceData& data, std::vector<long long>* missing) override {
        *missing = data.missingForWrite(m_offset, m_size);
        if (!missing->empty())
            return 0;
        size_t written = 0;
        int error = data.write(m_offset, m_bytes.data(), m_size, &written);
        // A recall extent needed for a fill was pruned since it was looked for: recall it.
        if (error == ENOENT && !(*missing = data.missingForWrite(m_offset, m_size)).empty())
            return 0;
        if (error != 0)
            return error == ENOENT ? EIO : error;
        fuse_reply_write(m_req, written);
        m_req = nullptr;
        return 0;
    }

    std::vector<char> m_bytes;  // the request's buffer lives only as long as the callback
};

// The request belongs to the DataRequest once it is made; attempt answers it, always.
void startDataRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset) {
    std::make_shared<DataRead>(req, ino, size, offset)->attempt(kRecallRounds);
}

void startDataWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset) {
    std::make_shared<DataWrite>(req, ino, buf, size, offset)->attempt(kRecallRounds);
}

void fillStat(fuse_ino_t ino, mode_t mode, dev_t rdev, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_mode = mode;
    st->st_nlink = S_ISDIR(mode) ? 2 : 1;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_rdev = rdev;
    st->st_atime = st->st_mtime = st->st_ctime = kStartTime;
}

// A device's data file: a regular file of the device's size, read-only without a private store.
void fillDataStat(const DeviceNode& node, struct stat* st) {
    fillStat(node.dataIno, S_IFREG | (node.writable ? 0660 : 0440), 0, st);
    st->st_size = node.size;
    st->st_blksize = 4096;
    // Rounded up without node.size + 511, which overflows for a device near 2^63 bytes.
    st->st_blocks = node.size / 512 + (node.size % 512 != 0 ? 1 : 0);
}

// The attributes of a node; false when there is no such node (any more).
bool statNode(const Emulator& emulator, fuse_ino_t ino, struct stat* st, double* timeout) {
    *timeout = kFixedTimeout;
    if (ino == kRootIno) {
        fillStat(ino, S_IFDIR | 0755, 0, st);
        return true;
    }
    for (const FixedFile& file : kFixedFiles) {
        if (file.ino == ino) {
            fillStat(ino, file.mode, 0, st);
            return true;
        }
    }
    DeviceNode node;
    if (!emulator.findNode(ino, &node))
        return false;
    if (ino == node.dataIno) {
        fillDataStat(node, st);
    } else {
        fillStat(ino, S_IFBLK | 0660, makedev(kDeviceMajor, node.minor), st);
    }
    *timeout = kDeviceTimeout;
    return true;
}

fuse_ino_t inoOf(const Emulator& emulator, const char* name) {
    for (const FixedFile& file : kFixedFiles) {
        if (std::strcmp(file.name, name) == 0)
            return file.ino;
    }
    DeviceNode node;
    if (!emulator.findNode(name, &node))
        return 0;
    return node.dataName == name ? node.dataIno : node.ino;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t ino = parent == kRootIno ? inoOf(emulatorOf(req), name) : 0;
    fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    double timeout = 0;
    if (ino == 0 || !statNode(emulatorOf(req), ino, &entry.attr, &timeout)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    entry.ino = ino;
    entry.attr_timeout = entry.entry_timeout = timeout;
    fuse_reply_entry(req, &entry);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st;
    double timeout = 0;
    if (!statNode(emulatorOf(req), ino, &st, &timeout)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, timeout);
}

// Only "control" takes a truncation, which the shell's "echo ... > control" asks for. A data
// file keeps its size: a truncation to any other size fails, as it does on a block device.
void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
    DeviceNode node;
    bool data = emulatorOf(req).findNode(ino, &node) && ino == node.dataIno;
    if (data && (toSet & ~FUSE_SET_ATTR_SIZE) == 0 && attr->st_size != node.size)
        return (void)fuse_reply_err(req, EINVAL);
    if ((ino != kControlIno && !data) || (toSet & ~FUSE_SET_ATTR_SIZE) != 0) {
        fuse_reply_err(req, EPERM);
        return;
    }
    opGetattr(req, ino, fi);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    if (ino != kRootIno) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, struct stat>> entries;
    struct stat st;
    fillStat(kRootIno, S_IFDIR | 0755, 0, &st);
    entries.emplace_back(".", st);
    entries.emplace_back("..", st);
    for (const FixedFile& file : kFixedFiles) {
        fillStat(file.ino, file.mode, 0, &st);
        entries.emplace_back(file.name, st);
    }
    for (const DeviceNode& node : emulatorOf(req).nodes()) {
        fillStat(node.ino, S_IFBLK | 0660, makedev(kDeviceMajor, node.minor), &st);
        entries.emplace_back(node.name, st);
        fillDataStat(node, &st);
        entries.emplace_back(node.dataName, st);
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(offset); i < entries.size(); ++i) {
        size_t need = fuse_add_direntry(req, buffer.data() + used, size - used,
                                        entries[i].first.c_str(), &entries[i].second, i + 1);
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    int access = fi->flags & O_ACCMODE;
    fi->direct_io = 1;
    switch (ino) {
        case kAdminIno:
            fi->fh = g_nextOpener++;
            break;
        case kControlIno:
            if (access == O_RDONLY)
                return (void)fuse_reply_err(req, EACCES);
            break;
        case kLogIno:
        case kStateIno: {
            if (access != O_RDONLY)
                return (void)fuse_reply_err(req, EACCES);
            // Each open reads one snapshot, so a reader sees a consistent text.
            Emulator& emulator = emulatorOf(req);
            std::string text = ino == kLogIno ? emulator.renderLog() : emulator.renderState();
            fi->fh = g_snapshots.add(std::move(text));
            break;
        }
        default: {
            DeviceNode node;
            // Device nodes never open here: the mount is nodev.
            if (!emulatorOf(req).findNode(ino, &node) || ino != node.dataIno)
                return (void)fuse_reply_err(req, ENXIO);
            if (access != O_RDONLY && !node.writable)
                return (void)fuse_reply_err(req, EROFS);
            break;
        }
    }
    if (fuse_reply_open(req, fi) != 0 && (ino == kLogIno || ino == kStateIno)) {
        g_snapshots.drop(fi->fh);
    }
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    if (ino != kLogIno && ino != kStateIno) {
        startDataRead(req, ino, size, offset);
        return;
    }
    std::string part = g_snapshots.part(fi->fh, offset, size);
    fuse_reply_buf(req, part.data(), part.size());
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset,
             fuse_file_info*) {
    if (ino != kControlIno) {
        startDataWrite(req, ino, buf, size, offset);
        return;
    }
    int error = emulatorOf(req).control(std::string(buf, size));
    if (error != 0) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_reply_write(req, size);
}

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino == kAdminIno)
        emulatorOf(req).adminClosed(fi->fh);
    if (ino == kLogIno || ino == kStateIno)
        g_snapshots.drop(fi->fh);
    fuse_reply_err(req, 0);
}

void opIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void*, fuse_file_info* fi,
             unsigned flags, const void* inBuf, size_t inSize, size_t outSize) {
    if (ino != kAdminIno) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if ((flags & FUSE_IOCTL_COMPAT) != 0) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    AdminCall call{cmd, inBuf, inSize, fuse_req_ctx(req)->pid, fi->fh};
    auto reply = std::make_unique<FuseAdminReply>(req, outSize);
    // A fetch that waits and a held answer are parked; which requests park is the emulator's
    // business, so every admin request is watched.
    watchInterrupts(req);
    emulatorOf(req).handleAdmin(call, std::move(reply));
}

// An operation as libfuse calls it: run through guarded.
template <auto Op>
struct Guarded;
template <class... Args, void (*Op)(fuse_req_t, Args...)>
struct Guarded<Op> {
    static void run(fuse_req_t req, Args... args) {
        guarded(req, [&] { Op(req, args...); });
    }
};

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.lookup = Guarded<opLookup>::run;
    ops.getattr = Guarded<opGetattr>::run;
    ops.setattr = Guarded<opSetattr>::run;
    ops.readdir = Guarded<opReaddir>::run;
    ops.open = Guarded<opOpen>::run;
    ops.read = Guarded<opRead>::run;
    ops.write = Guarded<opWrite>::run;
    ops.release = Guarded<opRelease>::run;
    ops.ioctl = Guarded<opIoctl>::run;
    return ops;
}

}  // namespace

const fuse_lowlevel_ops& fileSystemOperations() {
    static const fuse_lowlevel_ops ops = makeOperations();
    return ops;
}

}  // namespace tqemu
