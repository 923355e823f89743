#include "Source.h"

#include "PlaceBytes.h"

#include "ErrnoText.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace recalld {
namespace {

std::string describe(const CZyError& err) {
    return err.GetDescription();
}

int errnoOf(const CZyError& err) {
    return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
}

bool allZero(const char* data, size_t size) {
    return size == 0 || (data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0);
}

// Has fill write a temporary file and moves it in as extent `extent` of target. Nothing of
// ours is left behind on failure.
int placeThroughTemp(TqBlkBackingStore& target, long long extent, SyncGroup* sync,
                     std::string* detail, const std::function<int(int fd)>& fill) {
    std::string temp;
    int rawFd = -1;
    CZyError err = target.openTempFile(&temp, &rawFd);
    if (err.IsError()) {
        *detail = describe(err);
        return errnoOf(err);
    }
    tqsys::UniqueFd fd(rawFd);
    struct stat own;
    int e = ::fstat(fd.get(), &own) == 0 ? 0 : errno;
    if (e == 0)
        e = fill(fd.get());
    if (e != 0)
        *detail = "Couldn't write " + temp + ": " + errnoText(e);
    // Its bytes and size must be on the disk before its name moves in: after a power cut the
    // rename might survive while they did not. Synced through its own descriptor, which alone
    // is sure to learn of a write-back error of this file.
    if (e == 0 && sync != nullptr)
        e = sync->syncData(fd.get(), temp, detail);
    if (e == 0 && ::close(fd.release()) != 0) {
        e = errno;
        *detail = "Couldn't write " + temp + ": " + errnoText(e);
    }
    if (e != 0) {
        ::unlink(temp.c_str());
        return e;
    }
    err = target.moveInExtentFile(temp.c_str(), extent);
    dropTemp(temp, own);
    if (err.IsError()) {
        *detail = describe(err);
        return errnoOf(err);
    }
    return 0;
}

// Copies size bytes at offset of source to fd inside the kernel, without passing them
// through a buffer of ours; bytes past the end of the source become zeros. Returns 0 or the
// errno: EINVAL or ENOSYS when the kernel cannot copy between these two files.
int copyInKernel(int source, long long offset, size_t size, int fd) {
    off_t from = static_cast<off_t>(offset);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::sendfile(fd, source, &from, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0)
        return errno;
    return 0;
}

class ImageSource : public Source {
  public:
    explicit ImageSource(int fd) : m_fd(fd) {}

    int place(TqBlkBackingStore& target, long long extent, SyncGroup* sync, long long* bytes,
              std::string* detail) override {
        long long offset;
        size_t size;
        extentBytes(target, extent, &offset, &size);
        int e = placeInKernel(target, extent, offset, size, sync, detail);
        if (e == ENOTSUP)
            e = placeBuffered(target, extent, offset, size, sync, detail);
        if (e == 0)
            *bytes = static_cast<long long>(size);
        return e;
    }

  private:
    static constexpr size_t kProbe = 4096;

    // An extent whose first bytes are not all zeros cannot become a sparse one, so it is
    // copied from the image by the kernel: one copy of its bytes instead of two. ENOTSUP
    // when this extent (or, from then on, this image) takes the buffered way.
    int placeInKernel(TqBlkBackingStore& target, long long extent, long long offset, size_t size,
                      SyncGroup* sync, std::string* detail) {
        if (size <= kProbe || !m_inKernel)
            return ENOTSUP;
        char probe[kProbe];
        if (tqsys::PreadFull(m_fd.get(), probe, kProbe, offset) != 0 || allZero(probe, kProbe))
            return ENOTSUP;
        int e = placeThroughTemp(target, extent, sync, detail, [&](int fd) {
            return copyInKernel(m_fd.get(), offset, size, fd);
        });
        if (e == EINVAL || e == ENOSYS) {
            m_inKernel = false;
            return ENOTSUP;
        }
        return e;
    }

    int placeBuffered(TqBlkBackingStore& target, long long extent, long long offset, size_t size,
                      SyncGroup* sync, std::string* detail) {
        char* buffer = extentBuffer(size);
        size_t got = 0;
        int e = tqsys::PreadFull(m_fd.get(), buffer, size, offset, &got);
        if (e != 0) {
            *detail = "Couldn't read the image at offset " + std::to_string(offset) + ": " +
                      errnoText(-e);
            return -e;
        }
        // Bytes past the end of a short image read as zeros.
        std::fill(buffer + got, buffer + size, 0);
        return placeExtentBytes(target, extent, buffer, size, sync, detail);
    }

    tqsys::UniqueFd m_fd;
    std::atomic<bool> m_inKernel{true};
};

class StoreSource : public Source {
  public:
    explicit StoreSource(TqBlkRecallStore* store) : m_store(store) {}

    int place(TqBlkBackingStore& target, long long extent, SyncGroup* sync, long long* bytes,
              std::string* detail) override {
        long long offset;
        size_t size;
        extentBytes(target, extent, &offset, &size);
        if (sameShape(target) && m_linkable) {
            bool placed = false;
            int e = placeLinked(target, extent, &placed, detail);
            if (e != 0 || placed) {
                *bytes = static_cast<long long>(size);
                return e;
            }
        }
        char* buffer = extentBuffer(size);
        int e = copyRange(offset, buffer, size, detail);
        if (e == 0)
            e = placeExtentBytes(target, extent, buffer, size, sync, detail);
        if (e == 0)
            *bytes = static_cast<long long>(size);
        return e;
    }

  private:
    bool sameShape(const TqBlkBackingStore& target) const {
        return target.getDeviceSize() == m_store->getDeviceSize() &&
               target.getExtentSize() == m_store->getExtentSize();
    }

    // Hard-links the source's extent file when there is one. *placed false: the extent is
    // absent from the source, or links cannot be made to the target, so it is to be copied.
    int placeLinked(TqBlkBackingStore& target, long long extent, bool* placed,
                    std::string* detail) {
        bool present = false;
        CZyError err = checkPresent(extent, &present);
        if (!err.IsError() && present)
            err = target.hardLinkExtentFile(m_store.get(), extent, -1);
        int e = err.GetErrNo();
        // Another file system (EXDEV), a file with the most links it may have (EMLINK), or
        // one that refuses links altogether (EPERM): the bytes can still be copied.
        if (err.IsError() && (e == EXDEV || e == EMLINK || e == EPERM)) {
            if (e == EXDEV)
                m_linkable = false;
            return 0;
        }
        if (err.IsError()) {
            *detail = describe(err);
            return errnoOf(err);
        }
        *placed = present;
        return 0;
    }

    // The store object is not made for concurrent use, so its calls are serialised.
    CZyError checkPresent(long long extent, bool* present) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_store->checkExtentFile(extent, present);
    }

    // Opens the source's extent file for reading; empty with errno ENOENT when it is absent.
    // A plain open: the store's own openExtentFile makes the parent directories, and the
    // source, maybe read-only, must never change.
    tqsys::UniqueFd openExtent(long long extent, std::string* path) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            CZyError err = m_store->getExtentFileName(extent, path);
            if (err.IsError()) {
                errno = errnoOf(err);
                return tqsys::UniqueFd();
            }
        }
        tqsys::UniqueFd fd = tqsys::OpenRetrying(path->c_str(), O_RDONLY);
        // A missing directory on the way (or a file where one should be) means no extent.
        if (!fd.valid() && errno == ENOTDIR)
            errno = ENOENT;
        return fd;
    }

    // Fills buffer with the source store's bytes [offset, offset + size); absent extents
    // and bytes past the end of short extent files read as zeros.
    int copyRange(long long offset, char* buffer, size_t size, std::string* detail) {
        const long long extentSize = m_store->getExtentSize();
        std::fill(buffer, buffer + size, 0);
        for (size_t done = 0; done < size;) {
            long long position = offset + static_cast<long long>(done);
            long long extent = position / extentSize;
            long long within = position % extentSize;
            size_t chunk = static_cast<size_t>(
                std::min<long long>(extentSize - within, static_cast<long long>(size - done)));
            std::string path;
            tqsys::UniqueFd fd = openExtent(extent, &path);
            if (fd.get() < 0 && errno != ENOENT) {
                int e = errno;
                *detail = "Couldn't open source extent " + path + ": " + errnoText(e);
                return e;
            }
            if (fd.get() >= 0) {
                size_t got = 0;
                int e = tqsys::PreadFull(fd.get(), buffer + done, chunk, within, &got);
                if (e != 0) {
                    *detail = "Couldn't read source extent " + std::to_string(extent) + ": " +
                              errnoText(-e);
                    return -e;
                }
            }
            done += chunk;
        }
        return 0;
    }

    std::unique_ptr<TqBlkRecallStore> m_store;
    std::atomic<bool> m_linkable{true};  // false once a link failed with EXDEV
    std::mutex m_mutex;
};

}  // namespace

// Removes our temporary file if it is still at its name: when the extent was present
// already, or the move failed. Once it has been moved in, its name is free and another
// worker may have claimed it for a file of its own, which must stay; our file, moved in, is
// alive, so no other file can carry its inode number.
void dropTemp(const std::string& temp, const struct stat& own) {
    struct stat st;
    if (::lstat(temp.c_str(), &st) == 0 && st.st_ino == own.st_ino && st.st_dev == own.st_dev)
        ::unlink(temp.c_str());
}

// Places data as extent `extent` of target: as a sparse extent when it is all zeros, else
// through a temporary file.
int placeExtentBytes(TqBlkBackingStore& target, long long extent, const char* data, size_t size,
                     SyncGroup* sync, std::string* detail) {
    if (allZero(data, size)) {
        CZyError err = target.createExtentWithNUL(extent);
        if (err.IsError())
            *detail = describe(err);
        return err.IsError() ? errnoOf(err) : 0;
    }
    return placeThroughTemp(target, extent, sync, detail,
                            [&](int fd) { return -tqsys::WriteFull(fd, data, size); });
}

// A buffer of at least size bytes, one per worker thread and kept between extents: a fresh
// one per extent would cost a large allocation, its page faults and its zeroing every time.
char* extentBuffer(size_t size) {
    thread_local std::vector<char> buffer;
    if (buffer.size() < size)
        buffer.resize(size);
    return buffer.data();
}

// The byte range [offset, offset + size) of the device that extent `extent` of target covers.
void extentBytes(const TqBlkBackingStore& target, long long extent, long long* offset,
                 size_t* size) {
    *offset = extent * target.getExtentSize();
    long long left = target.getDeviceSize() - *offset;
    *size = static_cast<size_t>(std::max(0LL, std::min<long long>(target.getExtentSize(), left)));
}

std::unique_ptr<Source> openImageSource(const std::string& path, std::string* detail) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        *detail = "Couldn't open " + path + ": " + errnoText(e);
        return nullptr;
    }
    return std::unique_ptr<Source>(new ImageSource(fd));
}

std::unique_ptr<Source> openStoreSource(const std::string& dir, std::string* detail) {
    CZyError err;
    // Opened as a recall store: the service only ever reads the source's extents.
    TqBlkRecallStore* store = TqBlkRecallStore::open(dir.c_str(), &err);
    if (!store) {
        *detail = describe(err);
        return nullptr;
    }
    return std::unique_ptr<Source>(new StoreSource(store));
}

}  // namespace recalld
