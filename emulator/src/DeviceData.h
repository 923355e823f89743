#ifndef TQBLK_EMULATOR_DEVICEDATA_H
#define TQBLK_EMULATOR_DEVICEDATA_H

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace tqemu {

// One backing store as device I/O reaches it: absent when extentSize is 0.
struct StoreArea {
    std::string path;  // the directory, resolved
    int extentSize = 0;
    long long extentCount = 0;

    bool present() const { return extentSize > 0; }
    std::string extentPath(long long extent) const;
    bool hasExtent(long long extent) const;
};

// The bytes of one device, kept in its stores as the driver keeps them. A read takes each
// extent from the private store, else from the recall store, else reads zeros when there is
// no recall store. A write goes to the private store; an extent not there yet is first filled
// from the recall store (or with zeros), written to a temporary file and moved in, so no
// half-written extent file is ever visible. Reads may run concurrently with everything;
// writes are serialised among themselves. Recalling is the caller's business: reads and
// writes name the recall extents they lack.
class DeviceData {
  public:
    DeviceData(long long deviceSize, StoreArea privateArea, StoreArea recallArea);

    long long size() const { return m_deviceSize; }
    bool writable() const { return m_private.present(); }
    // The extent size of device I/O: the private store's when there is one.
    int extentSize() const { return m_extentSize; }
    // How many of size bytes at offset lie inside the device.
    size_t clip(off_t offset, size_t size) const;
    // The device extents that bytes [offset, offset + size) touch, in order.
    std::vector<long long> extentsOf(off_t offset, size_t size) const;

    // Reads size bytes at offset (clipped to the device: out holds clip(offset, size) bytes).
    // Returns 0, or EIO when a store file cannot be read. Recall extents present in neither
    // store are listed in *missing (each once); the bytes of out are then incomplete. *used
    // receives what the MRU list takes from the read: the recall extents read from the recall
    // store when the device has one, else the device extents read. A file open when it is
    // pruned is read to the end: the read gets the bytes it held. With done, pieces marked
    // there are skipped (out holds them from an earlier call) and pieces read are marked, so a
    // read that waited for recalls needs only what is missing, not all its extents at once.
    int read(off_t offset, size_t size, char* out, std::vector<long long>* missing,
             std::vector<long long>* used, std::vector<bool>* done = nullptr) const;
    // The recall extents that a write of [offset, offset + size) needs and that are absent:
    // those behind private extents that are not in the private store yet.
    std::vector<long long> missingForWrite(off_t offset, size_t size) const;
    // Writes size bytes at offset (clipped to the device) and sets *written. Returns 0, or
    // EROFS without a private store, ENOSPC at or past the end, EIO when a file operation
    // fails; ENOENT when a recall extent needed for a fill is absent (pruned since it was
    // looked for: recall it again).
    int write(off_t offset, const char* data, size_t size, size_t* written);

  private:
    struct Piece {
        long long extent;  // device extent
        off_t within;      // offset inside it
        size_t length;
    };
    std::vector<Piece> piecesOf(off_t offset, size_t size) const;
    // The recall extent holding byte `position` of the device, and its offset there.
    long long recallExtentOf(long long position, off_t* within) const;
    int readPiece(const Piece& piece, char* out, std::vector<long long>* missing,
                  std::vector<long long>* used, bool* absent) const;
    int writePiece(const Piece& piece, const char* data);
    int fillExtent(long long extent, std::vector<char>* bytes) const;
    int moveInPrivate(long long extent, const std::vector<char>& bytes);

    long long m_deviceSize;
    StoreArea m_private;
    StoreArea m_recall;
    int m_extentSize;
    std::mutex m_writeMutex;
};

}  // namespace tqemu

#endif
