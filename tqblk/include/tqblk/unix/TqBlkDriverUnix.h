#ifndef TQBLK_UNIX_TQBLKDRIVERUNIX_H
#define TQBLK_UNIX_TQBLKDRIVERUNIX_H

#include <tqblk/TqBlkDriver.h>
#include <tqblk/TqBlkExport.h>
#include <zyutils/ZyError.h>

#include <string>

// The driver reached through its admin node "/dev/tqblk/admin": each operation checks its
// arguments, fills one request record and sends it with one ioctl. A bad argument fails
// with EINVAL before the node is opened; a failed request carries the driver's errno and
// leaves every output argument as it was.
//
// The object owns one descriptor of the node, opened by the first operation that needs it
// and closed when the object is destroyed; a failed request does not close it. Once open,
// the object may be shared between threads. The first open is not guarded, so a process
// that shares one calls open() before sharing it. Objects cannot be copied.
//
// The admin descriptor is opened without O_CLOEXEC on purpose, so a child the caller starts
// inherits it (a caller that execs other programs sets FD_CLOEXEC itself through getFD); the
// store's extent opens likewise take the caller's flags as given.
class TQBLK_EXPORT TqBlkDriverUnix : public TqBlkDriver {
  public:
    TqBlkDriverUnix();
    ~TqBlkDriverUnix() override;
    TqBlkDriverUnix(const TqBlkDriverUnix&) = delete;
    TqBlkDriverUnix& operator=(const TqBlkDriverUnix&) = delete;

    // Opens the admin node for reading and writing unless it is open already. Failure:
    // "Couldn't open /dev/tqblk/admin" with the errno of the open; the next call tries again.
    CZyError open() override;
    CZyError getFD(int* fd) override;

    CZyError createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                          TqBlkBackingStore* recallStore, const char* recallDeviceName,
                          const void* recallDeviceBitmap, std::string* deviceName) override;
    CZyError createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                          TqBlkBackingStore* recallStore, std::string* deviceName) override;
    CZyError createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                   TqBlkBackingStore* recallStore, const char* recallDeviceName,
                                   const void* recallDeviceBitmap,
                                   std::string* deviceName) override;
    CZyError createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                   TqBlkBackingStore* recallStore,
                                   std::string* deviceName) override;
    // What the four creation operations share. The stores are read through their getters
    // only; an empty recall device name counts as none. On success *deviceName receives the
    // name the driver wrote; on failure it is untouched and nothing is undone in the driver.
    CZyError createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                          TqBlkBackingStore* recallStore, const char* recallDeviceName,
                          const void* recallDeviceBitmap, bool autoAbort, std::string* deviceName);

    // A device argument that starts with "/" and names an existing block device node (links
    // followed) sends that node's minor device number; one that names an existing file of
    // another kind fails with ENOTBLK, naming the path, and nothing is sent. Anything else
    // is sent as the UUID.
    CZyError abortDevice(const char* device) override;
    CZyError destroyDevice(const char* device) override;
    CZyError monitorDevice(const char* uuid) override;
    CZyError checkDevice(const char* uuid, bool* ready) override;
    // The deadline runs on a monotonic clock, so a change of the wall clock neither ends
    // the wait early nor prolongs it.
    CZyError waitForDeviceReady(const char* uuid, unsigned int timeout) override;

    // The extent comes back exactly as the driver wrote it. The library adds no waiting:
    // what the driver answers when it holds no request (an error such as EAGAIN) is passed up.
    CZyError getRecallRequest(const char* uuid, long long* extent) override;
    CZyError recallDone(const char* uuid, long long extent) override;
    // The error code is sent unchanged, 0 and negative values included.
    CZyError recallFailed(const char* uuid, long long extent, int error) override;

    // Values are passed to and from the driver unchanged, without checks. The device
    // operations reject a null UUID with EINVAL; an empty one is sent as it is.
    CZyError getConfig(int* config) override;
    CZyError setConfig(int config) override;
    CZyError setMRUExts(const char* uuid, int count) override;
    // The driver writes the extents into the caller's array directly.
    CZyError getMRUExts(const char* uuid, long long* extents, int* count) override;
    CZyError setBlockSizes(const char* uuid, int size1, int size2, int size3, int size4) override;
    CZyError resubmitRecalls(const char* uuid) override;

  protected:
    // What open() does, with another node: for tools that reach an emulator mounted
    // elsewhere from a subclass whose open() names the path. Opens path for reading and
    // writing unless a node is open already; failure: "Couldn't open PATH" with the errno.
    CZyError openNode(const char* path);

  private:
    // The admin node, -1 while not open. A raw descriptor closed by hand: this header is
    // installed and cannot use the internal descriptor holder.
    int m_fd;
};

#endif
