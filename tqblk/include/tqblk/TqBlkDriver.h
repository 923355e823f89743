#ifndef TQBLK_TQBLKDRIVER_H
#define TQBLK_TQBLKDRIVER_H

#include <tqblk/TqBlkExport.h>
#include <zyutils/ZyError.h>

#include <string>

class TqBlkBackingStore;

// The operations of the tqblk kernel block driver. TqBlkDriverUnix carries them out on the
// driver's admin node. Every operation returns its outcome as a CZyError and writes its
// output arguments only on success. Devices are named by the UUID they were created with
// (at most 63 characters); abortDevice and destroyDevice also take a device node's path.
// A driver may be held and deleted through a pointer to this class.
class TQBLK_EXPORT TqBlkDriver {
  public:
    TqBlkDriver() {}
    virtual ~TqBlkDriver() {}

    // Makes sure the connection to the driver is open. Later calls do nothing.
    virtual CZyError open() = 0;
    // Opens the connection if needed and hands out its descriptor, which the driver object
    // keeps owning: the caller must not close it. *fd is untouched on failure.
    virtual CZyError getFD(int* fd) = 0;

    // Creates a device over a private store, a recall store or both (the stores are only
    // read), optionally tied to a recall device (name, and a bitmap that needs both stores).
    // On success *deviceName receives the driver's name for the new device.
    virtual CZyError createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                  TqBlkBackingStore* recallStore, const char* recallDeviceName,
                                  const void* recallDeviceBitmap, std::string* deviceName) = 0;
    virtual CZyError createDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                  TqBlkBackingStore* recallStore, std::string* deviceName) = 0;
    // As createDevice, for a device that the driver aborts on its own (auto-abort).
    virtual CZyError createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                           TqBlkBackingStore* recallStore,
                                           const char* recallDeviceName,
                                           const void* recallDeviceBitmap,
                                           std::string* deviceName) = 0;
    virtual CZyError createAutoAbortDevice(const char* uuid, TqBlkBackingStore* privateStore,
                                           TqBlkBackingStore* recallStore,
                                           std::string* deviceName) = 0;

    // Aborts or destroys the device named by the path of its node or by its UUID.
    virtual CZyError abortDevice(const char* device) = 0;
    virtual CZyError destroyDevice(const char* device) = 0;
    // Puts the device under the driver's monitoring.
    virtual CZyError monitorDevice(const char* uuid) = 0;
    // Sets *ready to whether the device is ready. This default reports every device ready.
    virtual CZyError checkDevice(const char* uuid, bool* ready) {
        (void)uuid;
        *ready = true;
        return CZyError::Success();
    }
    // Checks the device at once and then every 2 seconds until it is ready; fails with
    // ETIMEDOUT once `timeout` seconds have passed without it being ready.
    virtual CZyError waitForDeviceReady(const char* uuid, unsigned int timeout) = 0;

    // Fetches one recall request of the device: *extent receives the extent to bring in.
    virtual CZyError getRecallRequest(const char* uuid, long long* extent) = 0;
    // Answers the recall request of an extent: recalled (recallDone, which is
    // recallFailed with error 0), or failed with the caller's error code.
    virtual CZyError recallDone(const char* uuid, long long extent) = 0;
    virtual CZyError recallFailed(const char* uuid, long long extent, int error) = 0;

    // The driver-wide configuration word.
    virtual CZyError getConfig(int* config) = 0;
    virtual CZyError setConfig(int config) = 0;
    // Sets the device's count of most-recently-used extents.
    virtual CZyError setMRUExts(const char* uuid, int count) = 0;
    // Lists the device's most-recently-used extents. On entry *count is the room in
    // extents; on success the driver has written *count entries there.
    virtual CZyError getMRUExts(const char* uuid, long long* extents, int* count) = 0;
    // Sets the device's four block sizes, in argument order.
    virtual CZyError setBlockSizes(const char* uuid, int size1, int size2, int size3,
                                   int size4) = 0;
    // Asks the driver to hand out again the device's recall requests that were fetched
    // and not answered.
    virtual CZyError resubmitRecalls(const char* uuid) = 0;
};

#endif
