// The verify source of the store checker: an image, a block device or another store, and the
// comparison of extent files with it.

#include "StoreCheckInternal.h"

#include <tqblk/TqBlkBackingStore.h>

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

using tqsys::UniqueFd;

namespace tqblk::check {

namespace {

constexpr size_t kCompareChunk = 1 << 20;

// O_NONBLOCK: an entry swapped for a FIFO must not hang the check.
UniqueFd openFileAt(int dirFd, const char* name) {
    return tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

// An image file or block device holding the device's bytes from offset 0.
class ImageSource : public VerifySource {
  public:
    ImageSource(UniqueFd fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}

    CZyError read(long long offset, char* buffer, size_t size) override {
        size_t got = 0;
        const int r = tqsys::PreadFull(m_fd.get(), buffer, size, offset, &got);
        if (r < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read %s at %lld", m_path.c_str(),
                                           offset);
        std::memset(buffer + got, 0, size - got);
        return CZyError::Success();
    }

  private:
    UniqueFd m_fd;
    std::string m_path;
};

// Another store: each byte range is gathered from the extent files that cover it.
class StoreSource : public VerifySource {
  public:
    explicit StoreSource(TqBlkPrivateStore* store) : m_store(store) {}

    CZyError read(long long offset, char* buffer, size_t size) override {
        const long long extentSize = m_store->getExtentSize();
        while (size > 0) {
            const long long extent = offset / extentSize;
            const long long within = offset % extentSize;
            const size_t part = static_cast<size_t>(
                std::min<long long>(static_cast<long long>(size), extentSize - within));
            CZyError err = readPart(extent, within, buffer, part);
            if (err.IsError())
                return err;
            offset += static_cast<long long>(part);
            buffer += part;
            size -= part;
        }
        return CZyError::Success();
    }

  private:
    CZyError readPart(long long extent, long long within, char* buffer, size_t size) {
        std::memset(buffer, 0, size);
        if (extent >= m_store->m_extentCount)
            return CZyError::Success();
        CZyError err = openExtent(extent);
        if (err.IsError() || !m_fd.valid())
            return err;
        size_t got = 0;  // the buffer is zeroed already: a short extent file reads as zeros
        const int r = tqsys::PreadFull(m_fd.get(), buffer, size, within, &got);
        if (r < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read %s", m_path.c_str());
        return CZyError::Success();
    }

    // Keeps the last extent open: a source with larger extents serves several of ours.
    CZyError openExtent(long long extent) {
        if (extent == m_openExtent)
            return CZyError::Success();
        m_fd.reset();
        m_openExtent = -1;
        CZyError err = m_store->getExtentFileName(extent, &m_path);
        if (err.IsError())
            return err.Push(JQ_HERE);
        UniqueFd fd = openFileAt(AT_FDCWD, m_path.c_str());
        const int e = errno;
        if (!fd.valid() && e != ENOENT)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open %s", m_path.c_str());
        m_fd = std::move(fd);
        m_openExtent = extent;
        return CZyError::Success();
    }

    std::unique_ptr<TqBlkPrivateStore> m_store;
    UniqueFd m_fd;
    long long m_openExtent = -1;
    std::string m_path;
};

}  // namespace

CZyError openVerifySource(const std::string& path, std::unique_ptr<VerifySource>* source) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat verify source %s",
                                       path.c_str());
    if (S_ISDIR(st.st_mode)) {
        CZyError err;
        TqBlkPrivateStore* store = TqBlkPrivateStore::open(path.c_str(), &err);
        if (!store)
            return err.Push(JQ_HERE, "Couldn't open verify source %s", path.c_str());
        source->reset(new StoreSource(store));
        return CZyError::Success();
    }
    UniqueFd fd(openFileAt(AT_FDCWD, path.c_str()));
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open verify source %s",
                                       path.c_str());
    source->reset(new ImageSource(std::move(fd), path));
    return CZyError::Success();
}

struct Verifier::Worker {
    std::unique_ptr<VerifySource> source;
    std::unique_ptr<char[]> buffers;  // a chunk of the extent and the source's, side by side
};

Verifier::Verifier(std::string path, long long extentSize, long long deviceSize)
    : m_path(std::move(path)), m_extentSize(extentSize), m_deviceSize(deviceSize) {}

Verifier::~Verifier() = default;

size_t Verifier::chunk() const {
    return static_cast<size_t>(std::min<long long>(kCompareChunk, m_extentSize));
}

CZyError Verifier::take(std::unique_ptr<Worker>* worker) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            *worker = std::move(m_idle.back());
            m_idle.pop_back();
            return CZyError::Success();
        }
    }
    worker->reset(new Worker);
    (*worker)->buffers.reset(new char[2 * chunk()]);
    return openVerifySource(m_path, &(*worker)->source);
}

void Verifier::give(std::unique_ptr<Worker> worker) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(worker));
}

CZyError Verifier::compare(int fd, long long extent, long long* differsAt, bool* extentFailed) {
    *differsAt = -1;
    *extentFailed = false;
    std::unique_ptr<Worker> worker;
    CZyError err = take(&worker);
    if (err.IsError())
        return err;
    const size_t size = chunk();
    char* ours = worker->buffers.get();
    char* theirs = ours + size;
    const long long base = extent * m_extentSize;
    // Only the device's bytes: a last extent past the device's end may hold anything there.
    const long long length = std::min(m_extentSize, m_deviceSize - base);
    for (long long done = 0; done < length; done += static_cast<long long>(size)) {
        const size_t part = static_cast<size_t>(std::min<long long>(size, length - done));
        size_t got = 0;
        const int r = tqsys::PreadFull(fd, ours, part, done, &got);
        if (r < 0) {
            *extentFailed = true;
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read the extent file");
        }
        std::memset(ours + got, 0, part - got);
        err = worker->source->read(base + done, theirs, part);
        if (err.IsError())
            return err;
        if (std::memcmp(ours, theirs, part) != 0) {
            size_t i = 0;
            while (ours[i] == theirs[i])
                ++i;
            *differsAt = base + done + static_cast<long long>(i);
            break;
        }
    }
    give(std::move(worker));
    return CZyError::Success();
}

}  // namespace tqblk::check
