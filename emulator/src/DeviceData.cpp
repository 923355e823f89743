#include "DeviceData.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <tqblk/TqBlkBackingStore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tqemu {
namespace {

using tqsys::UniqueFd;

// Reads up to size bytes at offset; bytes past the end of the file read as zeros. Returns 0
// or the errno.
int readZeroPadded(int fd, char* out, size_t size, off_t offset) {
    size_t got = 0;
    const int r = tqsys::PreadFull(fd, out, size, offset, &got);
    if (r < 0)
        return -r;
    std::memset(out + got, 0, size - got);
    return 0;
}

// Makes every missing directory above path.
int makeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (::mkdir(path.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

// Reads the piece of an extent file into out. ENOENT when the file is absent.
int readExtentFile(const std::string& path, char* out, size_t size, off_t offset) {
    UniqueFd file = tqsys::OpenRetrying(path.c_str(), O_RDONLY);
    if (!file.valid())
        return errno;
    return readZeroPadded(file.get(), out, size, offset);
}

}  // namespace

std::string StoreArea::extentPath(long long extent) const {
    char name[64];
    tqblk_bstore_make_extent_fname(extent, extentCount, name);
    return path + "/" + name;
}

bool StoreArea::hasExtent(long long extent) const {
    struct stat st;
    return ::stat(extentPath(extent).c_str(), &st) == 0;
}

DeviceData::DeviceData(long long deviceSize, StoreArea privateArea, StoreArea recallArea)
    : m_deviceSize(deviceSize),
      m_private(std::move(privateArea)),
      m_recall(std::move(recallArea)),
      m_extentSize(m_private.present() ? m_private.extentSize : m_recall.extentSize) {}

size_t DeviceData::clip(off_t offset, size_t size) const {
    if (offset < 0 || offset >= m_deviceSize)
        return 0;
    return static_cast<size_t>(
        std::min<long long>(static_cast<long long>(size), m_deviceSize - offset));
}

std::vector<DeviceData::Piece> DeviceData::piecesOf(off_t offset, size_t size) const {
    std::vector<Piece> pieces;
    size = clip(offset, size);
    for (size_t done = 0; done < size;) {
        long long position = offset + static_cast<long long>(done);
        Piece piece{position / m_extentSize, static_cast<off_t>(position % m_extentSize), 0};
        piece.length = std::min<size_t>(size - done, m_extentSize - piece.within);
        pieces.push_back(piece);
        done += piece.length;
    }
    return pieces;
}

std::vector<long long> DeviceData::extentsOf(off_t offset, size_t size) const {
    std::vector<long long> extents;
    for (const Piece& piece : piecesOf(offset, size))
        extents.push_back(piece.extent);
    return extents;
}

long long DeviceData::recallExtentOf(long long position, off_t* within) const {
    *within = static_cast<off_t>(position % m_recall.extentSize);
    return position / m_recall.extentSize;
}

int DeviceData::read(off_t offset, size_t size, char* out, std::vector<long long>* missing,
                     std::vector<long long>* used, std::vector<bool>* done) const {
    char* cursor = out;
    const std::vector<Piece> pieces = piecesOf(offset, size);
    if (done != nullptr)
        done->resize(pieces.size(), false);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        if (done != nullptr && (*done)[i]) {
            cursor += piece.length;
            continue;
        }
        bool absent = false;
        int error = readPiece(piece, cursor, missing, used, &absent);
        if (error != 0)
            return error;
        if (done != nullptr && !absent)
            (*done)[i] = true;
        cursor += piece.length;
    }
    return 0;
}

int DeviceData::readPiece(const Piece& piece, char* out, std::vector<long long>* missing,
                          std::vector<long long>* used, bool* absent) const {
    if (m_private.present()) {
        int error =
            readExtentFile(m_private.extentPath(piece.extent), out, piece.length, piece.within);
        if (error == 0 && !m_recall.present())
            used->push_back(piece.extent);
        if (error != ENOENT)
            return error == 0 ? 0 : EIO;
    }
    if (!m_recall.present()) {
        std::memset(out, 0, piece.length);
        used->push_back(piece.extent);
        return 0;
    }
    off_t within = 0;
    long long recallExtent = recallExtentOf(piece.extent * m_extentSize + piece.within, &within);
    int error = readExtentFile(m_recall.extentPath(recallExtent), out, piece.length, within);
    if (error == ENOENT) {
        if (std::find(missing->begin(), missing->end(), recallExtent) == missing->end())
            missing->push_back(recallExtent);
        *absent = true;
        return 0;
    }
    if (error == 0 && (used->empty() || used->back() != recallExtent))
        used->push_back(recallExtent);
    return error == 0 ? 0 : EIO;
}

std::vector<long long> DeviceData::missingForWrite(off_t offset, size_t size) const {
    std::vector<long long> missing;
    if (!m_private.present() || !m_recall.present())
        return missing;
    for (const Piece& piece : piecesOf(offset, size)) {
        off_t within = 0;
        long long recallExtent = recallExtentOf(piece.extent * m_extentSize, &within);
        if (!m_private.hasExtent(piece.extent) && !m_recall.hasExtent(recallExtent) &&
            std::find(missing.begin(), missing.end(), recallExtent) == missing.end()) {
            missing.push_back(recallExtent);
        }
    }
    return missing;
}

int DeviceData::write(off_t offset, const char* data, size_t size, size_t* written) {
    *written = 0;
    if (!m_private.present())
        return EROFS;
    if (size == 0)
        return 0;
    if (clip(offset, size) == 0)
        return ENOSPC;
    std::lock_guard<std::mutex> lock(m_writeMutex);
    for (const Piece& piece : piecesOf(offset, size)) {
        int error = writePiece(piece, data + *written);
        if (error != 0)
            return *written > 0 ? 0 : error;
        *written += piece.length;
    }
    return 0;
}

// Writes in place into a present private extent; fills and moves in an absent one.
int DeviceData::writePiece(const Piece& piece, const char* data) {
    UniqueFd file = tqsys::OpenRetrying(m_private.extentPath(piece.extent).c_str(), O_WRONLY);
    if (file.valid())
        return tqsys::PwriteFull(file.get(), data, piece.length, piece.within) == 0 ? 0 : EIO;
    if (errno != ENOENT)
        return EIO;
    std::vector<char> bytes;
    int error = fillExtent(piece.extent, &bytes);
    if (error != 0)
        return error;
    std::memcpy(bytes.data() + piece.within, data, piece.length);
    return moveInPrivate(piece.extent, bytes);
}

// The whole private extent as it reads before the write: from the recall store, or zeros.
int DeviceData::fillExtent(long long extent, std::vector<char>* bytes) const {
    bytes->assign(static_cast<size_t>(m_extentSize), 0);
    if (!m_recall.present())
        return 0;
    off_t within = 0;
    long long recallExtent = recallExtentOf(extent * m_extentSize, &within);
    int error =
        readExtentFile(m_recall.extentPath(recallExtent), bytes->data(), bytes->size(), within);
    return error == 0 || error == ENOENT ? error : EIO;
}

// Writes the extent to a temporary file in the store's "tmp" and renames it into place.
int DeviceData::moveInPrivate(long long extent, const std::vector<char>& bytes) {
    std::string tmpDir = m_private.path + "/tmp";
    if (::mkdir(tmpDir.c_str(), 0777) != 0 && errno != EEXIST)
        return EIO;
    std::string temp = tmpDir + "/deviceXXXXXX";
    int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return EIO;
    UniqueFd file(fd);
    std::string target = m_private.extentPath(extent);
    int error = -tqsys::PwriteFull(file.get(), bytes.data(), bytes.size(), 0);
    if (error == 0 && ::close(file.release()) != 0)
        error = errno;
    if (error == 0)
        error = makeParents(target);
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return EIO;
    }
    return 0;
}

}  // namespace tqemu
