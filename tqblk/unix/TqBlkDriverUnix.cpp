#include <tqblk/unix/TqBlkDriverUnix.h>

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/tqblk_admin.h>
#include <zyutils/ZySleep.h>

#include <tqsys/Retry.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Copies text into a zeroed fixed-width field. False when it does not fit, that is when the
// field's last byte is not NUL afterwards.
template <size_t N>
bool copyText(char (&field)[N], const char* text) {
    size_t length = strnlen(text, N);
    std::memcpy(field, text, length);
    return field[N - 1] == '\0';
}

// The UUID check of the operations that name a device by UUID. getRecallRequest,
// recallFailed, monitorDevice and checkDevice also refuse an empty UUID; the others send it.
CZyError checkUuid(const JQCodeLocation& where, const char* uuid, bool allowEmpty) {
    if (uuid == nullptr || (!allowEmpty && uuid[0] == '\0')) {
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "NULL device UUID passed as input");
    }
    return CZyError::Success();
}

template <size_t N>
CZyError copyUuid(const JQCodeLocation& where, char (&field)[N], const char* uuid) {
    if (!copyText(field, uuid)) {
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "UUID \"%s\" is too long", uuid);
    }
    return CZyError::Success();
}

// Checks the UUID, then copies it into the record's zeroed field.
template <size_t N>
CZyError takeUuid(const JQCodeLocation& where, char (&field)[N], const char* uuid,
                  bool allowEmpty) {
    CZyError err = checkUuid(where, uuid, allowEmpty);
    if (err.IsError())
        return err;
    return copyUuid(where, field, uuid);
}

// The record of abortDevice and destroyDevice: an absolute path of an existing block device
// names the device by that node's minor number, a path of anything else that exists is
// refused, and any other text is the UUID.
CZyError makeDeviceRef(const JQCodeLocation& where, const char* device, tqblk_device_ref* record) {
    if (device == nullptr || device[0] == '\0') {
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "NULL device path/UUID passed as input");
    }
    std::memset(record, 0, sizeof *record);
    struct stat st;
    if (device[0] == '/' && ::stat(device, &st) == 0) {
        // Any other file has no minor of a device: sending its st_rdev (0) would name tqblk0.
        if (!S_ISBLK(st.st_mode)) {
            return JQErrorUtil::ErrorErrNo(where, ENOTBLK,
                                           "Invalid device path %s passed as input: it is not a "
                                           "block device",
                                           device);
        }
        record->minor = static_cast<int64_t>(static_cast<uint32_t>(minor(st.st_rdev)));
        return CZyError::Success();
    }
    record->minor = -1;
    return copyUuid(where, record->uuid, device);
}

// The helpers take the location of the public operation they serve (where), so that the
// innermost location of a failure names that operation, as callers read it, not the helper.

// Sends one request on the open admin descriptor. A signal that interrupts the call before
// the driver acts on it leaves nothing done, so the call is made again.
CZyError sendRequest(const JQCodeLocation& where, int fd, unsigned long code, void* record,
                     const char* failure) {
    if (tqsys::RetryOnEintr([&] { return ::ioctl(fd, code, record); }) < 0) {
        int error = errno;
        return JQErrorUtil::ErrorErrNo(where, error, "%s", failure);
    }
    return CZyError::Success();
}

// Opens the admin node through the driver's virtual open(), then sends the filled record.
// fd is the driver's descriptor, read once open() has set it.
CZyError submit(const JQCodeLocation& where, TqBlkDriver& driver, const int& fd, unsigned long code,
                void* record, const char* failure) {
    CZyError err = driver.open();
    if (err.IsError())
        return err.Push(where);
    return sendRequest(where, fd, code, record, failure);
}

// What createDevice was asked for; an empty recall device name counts as none.
struct CreateRequest {
    const char* uuid;
    const TqBlkBackingStore* privateStore;
    const TqBlkBackingStore* recallStore;
    const char* recallDeviceName;
    const void* recallDeviceBitmap;
    bool autoAbort;
};

// createDevice's checks of its arguments as given, before anything is filled or sent.
CZyError checkCreateArguments(const JQCodeLocation& where, const CreateRequest& r) {
    if (r.uuid == nullptr || r.uuid[0] == '\0')
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "NULL device UUID passed as input");
    if (r.privateStore == nullptr && r.recallStore == nullptr)
        return JQErrorUtil::ErrorErrNo(where, EINVAL,
                                       "At least one backing store must be provided");
    if (r.privateStore != nullptr && r.recallStore != nullptr &&
        r.privateStore->getDeviceSize() != r.recallStore->getDeviceSize())
        return JQErrorUtil::ErrorErrNo(where, EINVAL,
                                       "Private and recall backing store device size do not match");
    if (r.recallDeviceBitmap != nullptr && r.recallDeviceName == nullptr)
        return JQErrorUtil::ErrorErrNo(where, EINVAL,
                                       "Recall device name must accompany recall device bitmap");
    if (r.recallDeviceBitmap != nullptr && r.recallStore == nullptr)
        return JQErrorUtil::ErrorErrNo(where, EINVAL,
                                       "Recall store must accompany recall device bitmap");
    if (r.recallDeviceName != nullptr && r.privateStore == nullptr)
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "Private store must accompany recall device");
    return CZyError::Success();
}

// Fills createDevice's request record, failing where a text does not fit its field or the
// stores' extent sizes do not go together.
CZyError fillCreateRecord(const JQCodeLocation& where, const CreateRequest& r,
                          tqblk_create_device* record) {
    std::memset(record, 0, sizeof *record);
    CZyError err = copyUuid(where, record->uuid, r.uuid);
    if (err.IsError())
        return err;
    if (r.privateStore != nullptr) {
        std::string dir = r.privateStore->getDir();
        record->device_size = r.privateStore->getDeviceSize();
        record->private_extent_size = r.privateStore->getExtentSize();
        if (!copyText(record->private_dir, dir.c_str()))
            return JQErrorUtil::ErrorErrNo(
                where, EINVAL, "Private store directory \"%s\" is too long", dir.c_str());
    }
    if (r.recallStore != nullptr) {
        std::string dir = r.recallStore->getDir();
        record->device_size = r.recallStore->getDeviceSize();
        record->recall_extent_size = r.recallStore->getExtentSize();
        if (!copyText(record->recall_dir, dir.c_str()))
            return JQErrorUtil::ErrorErrNo(
                where, EINVAL, "Recall store directory \"%s\" is too long", dir.c_str());
    }
    if (r.privateStore != nullptr && r.recallStore != nullptr &&
        record->private_extent_size > record->recall_extent_size)
        return JQErrorUtil::ErrorErrNo(
            where, EINVAL,
            "Private store's extent size must be less or equal than recall store's extent size");
    if (r.recallDeviceName != nullptr && !copyText(record->recall_device_name, r.recallDeviceName))
        return JQErrorUtil::ErrorErrNo(where, EINVAL, "Recall device name \"%s\" is too long",
                                       r.recallDeviceName);
    record->recall_bitmap = reinterpret_cast<uintptr_t>(r.recallDeviceBitmap);
    record->auto_abort = r.autoAbort ? 1 : 0;
    return CZyError::Success();
}

// Opens an admin node for reading and writing into *fd unless *fd is already open; *fd stays
// -1 on failure, which carries where. O_RDWR alone, no O_CLOEXEC: getFD hands this descriptor
// out, and a caller may pass it on to a child it starts.
CZyError openAdmin(const JQCodeLocation& where, const char* path, int* fd) {
    if (*fd >= 0)
        return CZyError::Success();
    *fd = tqsys::RetryOnEintr([path] { return ::open(path, O_RDWR); });
    if (*fd < 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open %s", path);
    return CZyError::Success();
}

long long monotonicSeconds() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

}  // namespace

TqBlkDriverUnix::TqBlkDriverUnix() : m_fd(-1) {}

TqBlkDriverUnix::~TqBlkDriverUnix() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

CZyError TqBlkDriverUnix::open() {
    return openAdmin(JQ_HERE, TQBLK_ADMIN_NODE, &m_fd);
}

CZyError TqBlkDriverUnix::openNode(const char* path) {
    return openAdmin(JQ_HERE, path, &m_fd);
}

CZyError TqBlkDriverUnix::getFD(int* fd) {
    CZyError err = open();
    if (err.IsError())
        return err;
    *fd = m_fd;
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                       TqBlkBackingStore* recallStore, const char* recallDeviceName,
                                       const void* recallDeviceBitmap, std::string* deviceName) {
    return createDevice(uuid, privateStore, recallStore, recallDeviceName, recallDeviceBitmap,
                        false, deviceName);
}

CZyError TqBlkDriverUnix::createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                       TqBlkBackingStore* recallStore, std::string* deviceName) {
    return createDevice(uuid, privateStore, recallStore, nullptr, nullptr, false, deviceName);
}

CZyError TqBlkDriverUnix::createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                                TqBlkBackingStore* recallStore,
                                                const char* recallDeviceName,
                                                const void* recallDeviceBitmap,
                                                std::string* deviceName) {
    return createDevice(uuid, privateStore, recallStore, recallDeviceName, recallDeviceBitmap, true,
                        deviceName);
}

CZyError TqBlkDriverUnix::createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                                TqBlkBackingStore* recallStore,
                                                std::string* deviceName) {
    return createDevice(uuid, privateStore, recallStore, nullptr, nullptr, true, deviceName);
}

CZyError TqBlkDriverUnix::createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                       TqBlkBackingStore* recallStore, const char* recallDeviceName,
                                       const void* recallDeviceBitmap, bool autoAbort,
                                       std::string* deviceName) {
    if (recallDeviceName != nullptr && recallDeviceName[0] == '\0')
        recallDeviceName = nullptr;
    const CreateRequest request{
        uuid, privateStore, recallStore, recallDeviceName, recallDeviceBitmap, autoAbort};
    CZyError err = checkCreateArguments(JQ_HERE, request);
    if (err.IsError())
        return err;
    tqblk_create_device record;
    err = fillCreateRecord(JQ_HERE, request, &record);
    if (err.IsError())
        return err;
    err = submit(JQ_HERE, *this, m_fd, TQBLK_CREATE_DEVICE, &record,
                 "ioctl(TQBLK_CREATE_DEVICE) has failed");
    if (err.IsError())
        return err;
    // The driver ends the name with a NUL; the bound only guards against one that did not.
    deviceName->assign(record.device_name, strnlen(record.device_name, sizeof record.device_name));
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::abortDevice(const char* device) {
    tqblk_device_ref record;
    CZyError err = makeDeviceRef(JQ_HERE, device, &record);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_ABORT_DEVICE, &record,
                  "ioctl(TQBLK_ABORT_DEVICE) has failed");
}

CZyError TqBlkDriverUnix::destroyDevice(const char* device) {
    tqblk_device_ref record;
    CZyError err = makeDeviceRef(JQ_HERE, device, &record);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_DESTROY_DEVICE, &record,
                  "ioctl(TQBLK_DESTROY_DEVICE) has failed");
}

CZyError TqBlkDriverUnix::monitorDevice(const char* uuid) {
    tqblk_device_uuid record;
    std::memset(&record, 0, sizeof record);
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, false);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_MONITOR_DEVICE, &record,
                  "ioctl(TQBLK_MONITOR_DEVICE) has failed");
}

CZyError TqBlkDriverUnix::checkDevice(const char* uuid, bool* ready) {
    tqblk_check_device record;
    std::memset(&record, 0, sizeof record);
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, false);
    if (err.IsError())
        return err;
    err = submit(JQ_HERE, *this, m_fd, TQBLK_CHECK_DEVICE, &record,
                 "ioctl(TQBLK_CHECK_DEVICE) has failed");
    if (err.IsError())
        return err;
    *ready = record.ready != 0;
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::waitForDeviceReady(const char* uuid, unsigned int timeout) {
    const long long deadline = monotonicSeconds() + timeout;
    while (true) {
        bool ready = false;
        CZyError err = checkDevice(uuid, &ready);
        if (err.IsError())
            return err.Push(JQ_HERE);
        if (ready)
            return CZyError::Success();
        long long now = monotonicSeconds();
        if (now >= deadline)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, ETIMEDOUT, "Device not ready");
        // Never sleep past the deadline: 2 s while more remains, else what is left.
        long long remaining = deadline - now;
        unsigned int milliseconds =
            remaining > 2 ? 2000 : static_cast<unsigned int>(remaining) * 1000;
        ZYSLEEP_InTeRnAl(milliseconds, JQ_SOURCE_FILE, __LINE__);
    }
}

CZyError TqBlkDriverUnix::getRecallRequest(const char* uuid, long long* extent) {
    tqblk_recall_request record;
    std::memset(&record, 0, sizeof record);
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, false);
    if (err.IsError())
        return err;
    err = submit(JQ_HERE, *this, m_fd, TQBLK_GET_RECALL_REQUEST, &record,
                 "ioctl(TQBLK_GET_RECALL_REQUEST) has failed");
    if (err.IsError())
        return err;
    *extent = record.extent;
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::recallDone(const char* uuid, long long extent) {
    return recallFailed(uuid, extent, 0);
}

CZyError TqBlkDriverUnix::recallFailed(const char* uuid, long long extent, int error) {
    CZyError err = checkUuid(JQ_HERE, uuid, false);
    if (err.IsError())
        return err;
    if (extent < 0) {
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid extent %lld passed as input",
                                       extent);
    }
    tqblk_recall_done record;
    std::memset(&record, 0, sizeof record);
    record.extent = extent;
    record.error = error;
    err = copyUuid(JQ_HERE, record.uuid, uuid);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_RECALL_DONE, &record,
                  "ioctl(TQBLK_RECALL_DONE) has failed");
}

CZyError TqBlkDriverUnix::getConfig(int* config) {
    tqblk_config record;
    std::memset(&record, 0, sizeof record);
    CZyError err = submit(JQ_HERE, *this, m_fd, TQBLK_GET_CONFIG, &record,
                          "ioctl(TQBLK_GET_CONFIG) has failed");
    if (err.IsError())
        return err;
    *config = record.config;
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::setConfig(int config) {
    tqblk_config record;
    std::memset(&record, 0, sizeof record);
    record.config = config;
    return submit(JQ_HERE, *this, m_fd, TQBLK_SET_CONFIG, &record,
                  "ioctl(TQBLK_SET_CONFIG) has failed");
}

CZyError TqBlkDriverUnix::setMRUExts(const char* uuid, int count) {
    tqblk_set_mru_exts record;
    std::memset(&record, 0, sizeof record);
    record.count = count;
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, true);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_SET_MRU_EXTS, &record,
                  "ioctl(TQBLK_SET_MRU_EXTS) has failed");
}

CZyError TqBlkDriverUnix::getMRUExts(const char* uuid, long long* extents, int* count) {
    tqblk_get_mru_exts record;
    std::memset(&record, 0, sizeof record);
    record.count = *count;
    record.extents = reinterpret_cast<uintptr_t>(extents);
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, true);
    if (err.IsError())
        return err;
    err = submit(JQ_HERE, *this, m_fd, TQBLK_GET_MRU_EXTS, &record,
                 "ioctl(TQBLK_GET_MRU_EXTS) has failed");
    if (err.IsError())
        return err;
    *count = record.count;
    return CZyError::Success();
}

CZyError TqBlkDriverUnix::setBlockSizes(const char* uuid, int size1, int size2, int size3,
                                        int size4) {
    tqblk_block_sizes record;
    std::memset(&record, 0, sizeof record);
    record.block_sizes[0] = size1;
    record.block_sizes[1] = size2;
    record.block_sizes[2] = size3;
    record.block_sizes[3] = size4;
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, true);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_SET_BLOCK_SIZES, &record,
                  "ioctl(TQBLK_SET_BLOCK_SIZES) has failed");
}

CZyError TqBlkDriverUnix::resubmitRecalls(const char* uuid) {
    tqblk_device_uuid record;
    std::memset(&record, 0, sizeof record);
    CZyError err = takeUuid(JQ_HERE, record.uuid, uuid, true);
    if (err.IsError())
        return err;
    return submit(JQ_HERE, *this, m_fd, TQBLK_RESUBMIT_RECALLS, &record,
                  "ioctl(TQBLK_RESUBMIT_RECALLS) has failed");
}
