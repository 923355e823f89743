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
#include <memory>
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

Emulator& emulatorOf(fuse_req_t req) {
    return *static_cast<Emulator*>(fuse_req_userdata(req));
}

// Answers an admin request through the kernel, which copies the record back to the caller.
class FuseAdminReply : public AdminReply {
  public:
    FuseAdminReply(fuse_req_t req, size_t outSize) : m_req(req), m_outSize(outSize) {}
    ~FuseAdminReply() override {
        if (m_req != nullptr)
            fuse_reply_err(m_req, EIO);
    }
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

// Device I/O through a data file. A request whose extents must be recalled first does not hold
// a worker thread while it waits: the emulator keeps it and resumes it from the thread that
// receives the last answer, which tries once more and fails with EIO if data is still absent.
class DataRequest : public std::enable_shared_from_this<DataRequest> {
  public:
    DataRequest(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset)
        : m_req(req), m_ino(ino), m_size(size), m_offset(offset) {}
    virtual ~DataRequest() {
        if (m_req != nullptr)
            fuse_reply_err(m_req, EIO);
    }

    void attempt(bool mayRecall) {
        Emulator& emulator = emulatorOf(m_req);
        std::shared_ptr<DeviceData> data;
        int error = emulator.deviceData(m_ino, &data);
        std::vector<long long> missing;
        if (error == 0)
            error = perform(emulator, *data, &missing);
        if (error == 0 && missing.empty())
            return;
        if (error != 0 || !mayRecall)
            return fail(error != 0 ? error : EIO);
        std::shared_ptr<DataRequest> self = shared_from_this();
        emulator.awaitRecalls(m_ino, missing, [self](int result) {
            if (result != 0)
                return self->fail(result);
            self->attempt(false);
        });
    }

  protected:
    // Does the I/O and replies; or lists the recall extents it needs first, or returns the
    // errno to fail with.
    virtual int perform(Emulator& emulator, DeviceData& data, std::vector<long long>* missing) = 0;
    void fail(int error) {
        fuse_reply_err(m_req, error);
        m_req = nullptr;
    }

    fuse_req_t m_req;
    fuse_ino_t m_ino;
    size_t m_size;
    off_t m_offset;
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
        int error = data.read(m_offset, m_size, buffer.data(), missing);
        if (error != 0 || !missing->empty())
            return error;
        emulator.noteRead(m_ino, data.extentsOf(m_offset, size));
        fuse_reply_buf(m_req, buffer.data(), size);
        m_req = nullptr;
        return 0;
    }
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
        if (error != 0)
            return error;
        fuse_reply_write(m_req, written);
        m_req = nullptr;
        return 0;
    }

    std::vector<char> m_bytes;  // the request's buffer lives only as long as the callback
};

void startDataRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset) {
    std::make_shared<DataRead>(req, ino, size, offset)->attempt(true);
}

void startDataWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset) {
    std::make_shared<DataWrite>(req, ino, buf, size, offset)->attempt(true);
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
    st->st_blocks = (node.size + 511) / 512;
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
            fi->fh = reinterpret_cast<uint64_t>(new std::string(std::move(text)));
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
        delete reinterpret_cast<std::string*>(fi->fh);
    }
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    if (ino != kLogIno && ino != kStateIno) {
        startDataRead(req, ino, size, offset);
        return;
    }
    const std::string& text = *reinterpret_cast<std::string*>(fi->fh);
    size_t start = std::min(static_cast<size_t>(offset), text.size());
    // Replied from a copy: once the reply is written the reader may close the file, and its
    // release frees the snapshot, while this thread may still look at the reply's buffer.
    std::string part = text.substr(start, std::min(size, text.size() - start));
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
        delete reinterpret_cast<std::string*>(fi->fh);
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
    emulatorOf(req).handleAdmin(call, std::make_unique<FuseAdminReply>(req, outSize));
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.release = opRelease;
    ops.ioctl = opIoctl;
    return ops;
}

}  // namespace

const fuse_lowlevel_ops& fileSystemOperations() {
    static const fuse_lowlevel_ops ops = makeOperations();
    return ops;
}

}  // namespace tqemu
