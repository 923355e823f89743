#include "ManifestSource.h"

#include "Chunk.h"
#include "ErrnoText.h"
#include "Manifest.h"
#include "Objects.h"
#include "PlaceBytes.h"
#include "Retry.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace recalld {

namespace {

using tqimage::Digest;

// The host's cache of checked extents: DIR/ab/<hex>, read-only files of an extent's bytes,
// shared by every service on the host. Files only ever appear at their names whole (written
// to a temporary file beside them, synced, then linked there), so concurrent services never
// see a partial one. Nothing here removes a cached file; an operator trims the directory.
class ChunkCache {
  public:
    explicit ChunkCache(std::string dir) : m_dir(std::move(dir)) {}

    std::string path(const Digest& digest) const {
        const std::string hex = tqimage::toHex(digest);
        return m_dir + "/" + hex.substr(0, 2) + "/" + hex;
    }

    // Reads the cached extent of digest into buffer and checks its bytes: a file changed or
    // damaged since it was cached is never served. Returns 0 with *st the identity of the
    // file checked, ENOENT when absent, EBADMSG when damaged, or another errno.
    int find(const Digest& digest, char* buffer, size_t size, struct stat* st) const {
        tqsys::UniqueFd fd =
            tqsys::OpenRetrying(path(digest).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        if (fd.get() < 0)
            return errno == ELOOP ? EBADMSG : errno;
        if (::fstat(fd.get(), st) != 0)
            return errno;
        if (!S_ISREG(st->st_mode) || st->st_size != static_cast<off_t>(size))
            return EBADMSG;
        int e = tqsys::PreadFull(fd.get(), buffer, size, 0);
        if (e != 0)
            return e == -ENODATA ? EIO : -e;
        return tqimage::sha256(buffer, size) == digest ? 0 : EBADMSG;
    }

    // Caches size checked bytes of buffer under digest. A file there already stays (EEXIST:
    // another service was quicker), unless replace, for one find() judged damaged. Returns
    // 0 with *st the identity of the file now cached, or an errno with *detail.
    int insert(const Digest& digest, const char* buffer, size_t size, bool replace, bool syncDir,
               struct stat* st, std::string* detail) const {
        const std::string target = path(digest);
        const std::string dir = target.substr(0, target.rfind('/'));
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return fail(errno, "make", dir, detail);
        std::string temp = dir + "/.new.XXXXXX";
        tqsys::UniqueFd fd(::mkostemp(&temp[0], O_CLOEXEC));
        if (fd.get() < 0)
            return fail(errno, "make a file in", dir, detail);
        int e = -tqsys::WriteFull(fd.get(), buffer, size);
        // Durable before its name appears: a store may link it and answer the driver.
        if (e == 0 && (::fchmod(fd.get(), 0444) != 0 || ::fdatasync(fd.get()) != 0 ||
                       ::fstat(fd.get(), st) != 0))
            e = errno;
        if (e == 0 && replace && ::rename(temp.c_str(), target.c_str()) != 0)
            e = errno;
        else if (e == 0 && !replace && ::link(temp.c_str(), target.c_str()) != 0)
            e = errno;
        ::unlink(temp.c_str());
        if (e == EEXIST)
            return e;
        if (e != 0)
            return fail(e, "write", target, detail);
        tqsys::UniqueFd parent = tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
        if (syncDir && (parent.get() < 0 || ::fsync(parent.get()) != 0))
            return fail(errno, "sync", dir, detail);
        return 0;
    }

  private:
    static int fail(int e, const char* verb, const std::string& what, std::string* detail) {
        *detail = std::string("Couldn't ") + verb + " " + what + ": " + errnoText(e);
        return e;
    }

    const std::string m_dir;
};

class ManifestSource : public Source {
  public:
    ManifestSource(std::unique_ptr<tqimage::Objects> objects, tqimage::Manifest manifest,
                   std::string version, const std::string& cacheDir)
        : m_objects(std::move(objects)),
          m_manifest(std::move(manifest)),
          m_version(std::move(version)),
          m_cache(cacheDir.empty() ? nullptr : new ChunkCache(cacheDir)) {}

    long long size() const override { return m_manifest.size; }
    std::string version() const override { return m_version; }
    long long retries() const override { return m_retries; }
    long long bytesFetched() const override { return m_objects->bytesRead(); }
    void setNote(std::function<void(const std::string&)> note) override {
        m_note = std::move(note);
    }

    void interrupt() override {
        m_stop.interrupt();
        m_objects->interrupt();
    }

    int place(TqBlkBackingStore& target, long long extent, SyncGroup* sync, long long* bytes,
              std::string* detail) override {
        long long offset;
        size_t size;
        extentBytes(target, extent, &offset, &size);
        int e = placeExtent(target, extent, size, sync, detail);
        if (e == 0)
            *bytes = static_cast<long long>(size);
        return e;
    }

  private:
    static constexpr int kChunkTries = 4;

    int placeExtent(TqBlkBackingStore& target, long long extent, size_t size, SyncGroup* sync,
                    std::string* detail) {
        // Extents past a short image's end read as zeros, as do the image's zero extents.
        if (extent >= static_cast<long long>(m_manifest.extents.size()) ||
            m_manifest.extents[static_cast<size_t>(extent)].zero) {
            CZyError err = target.createExtentWithNUL(extent);
            if (err.IsError())
                *detail = err.GetDescription();
            return err.IsError() ? (err.GetErrNo() > 0 ? err.GetErrNo() : EIO) : 0;
        }
        const Digest& digest = m_manifest.extents[static_cast<size_t>(extent)].digest;
        const size_t full = static_cast<size_t>(m_manifest.extentSize);
        char* buffer = extentBuffer(full);
        if (!m_cache) {
            int e = fetch(digest, extent, buffer, full, detail);
            return e != 0 ? e : placeExtentBytes(target, extent, buffer, size, sync, detail);
        }
        struct stat st;
        int e = m_cache->find(digest, buffer, full, &st);
        if (e != 0) {
            const bool damaged = e == EBADMSG;
            if ((e = fetch(digest, extent, buffer, full, detail)) != 0)
                return e;
            std::string why;
            e = m_cache->insert(digest, buffer, full, damaged, sync != nullptr, &st, &why);
            // EEXIST: another service cached it a moment ago. Our own checked bytes are
            // placed rather than its file, which would have to be read and checked again.
            if (e != 0 && e != EEXIST)
                noteCacheFailure(why);
            if (e != 0)
                return placeExtentBytes(target, extent, buffer, size, sync, detail);
        }
        // The buffer holds the extent's checked bytes, and st names the file they are in. Only
        // a whole extent is linked: the device's last one may be shorter. A file another user
        // owns could be changed by them once linked, so its checked bytes are copied instead.
        if (size == full && m_linkable && (st.st_uid == m_uid || st.st_uid == 0)) {
            bool placed = false;
            e = linkIn(target, extent, m_cache->path(digest), st, &placed, detail);
            if (e != 0 || placed)
                return e;
        }
        return placeExtentBytes(target, extent, buffer, size, sync, detail);
    }

    // Fetches and decodes the extent's chunk into buffer, checked against its digest before
    // anything is placed. A chunk that fails its check is fetched again after a pause.
    int fetch(const Digest& digest, long long extent, char* buffer, size_t size,
              std::string* detail) {
        const std::string key = tqimage::chunkKey(digest);
        const std::string what = "extent " + std::to_string(extent) + ": ";
        // Kept per thread: its memory is reused from one extent to the next.
        thread_local std::string chunk;
        std::string why;
        for (int attempt = 1;; ++attempt) {
            int e = m_objects->get(key, &chunk, &why);
            if (e == ENOENT) {
                *detail = what + "chunk " + tqimage::toHex(digest) +
                          " is missing from the image root: " + why;
                return EIO;
            }
            if (e != 0) {
                *detail = what + "couldn't fetch chunk " + tqimage::toHex(digest) + ": " + why;
                return e;
            }
            if ((e = tqimage::decodeChunk(chunk, digest, buffer, size, &why)) == 0)
                return 0;
            if (attempt == kChunkTries) {
                *detail = what + why + ", fetched " + std::to_string(kChunkTries) + " times from " +
                          m_objects->describe(key) + "; nothing placed";
                return EIO;
            }
            ++m_retries;
            if (!m_stop.sleep(100LL << (attempt - 1))) {
                *detail = what + "stopped while fetching chunk " + tqimage::toHex(digest);
                return ECANCELED;
            }
        }
    }

    // Hard-links the cached file at from, whose checked identity is want, in as the extent.
    // *placed false when links cannot be made to this store (another file system, too many
    // links) or from no longer names the file checked: the bytes are then placed instead.
    int linkIn(TqBlkBackingStore& target, long long extent, const std::string& from,
               const struct stat& want, bool* placed, std::string* detail) {
        std::string temp;
        int raw = -1;
        CZyError err = target.openTempFile(&temp, &raw);
        if (err.IsError()) {
            *detail = err.GetDescription();
            return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
        }
        ::close(raw);
        // Our temporary file holds its name, so no other worker draws this one.
        const std::string name = temp + ".link";
        int e = ::link(from.c_str(), name.c_str()) == 0 ? 0 : errno;
        struct stat st;
        if (e == 0 && (::lstat(name.c_str(), &st) != 0 || st.st_ino != want.st_ino ||
                       st.st_dev != want.st_dev)) {
            ::unlink(name.c_str());
            e = ESTALE;
        }
        bool linked = false;
        if (e == 0) {
            err = target.moveInExtentFile(name.c_str(), extent);
            dropTemp(name, st);
            linked = !err.IsError();
            if (err.IsError()) {
                *detail = err.GetDescription();
                e = err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
            }
        } else if (e == EXDEV || e == EMLINK || e == EPERM || e == ESTALE || e == ENOENT) {
            if (e == EXDEV)
                m_linkable = false;
            e = 0;
        } else {
            *detail = "Couldn't link " + from + " to " + name + ": " + errnoText(e);
        }
        ::unlink(temp.c_str());
        *placed = linked;
        return e;
    }

    // A cache that cannot be written is said once: the extents are placed all the same.
    void noteCacheFailure(const std::string& why) {
        if (!m_cacheFailed.exchange(true) && m_note)
            m_note("the chunk cache is not written to: " + why + "; extents are placed without it");
    }

    std::unique_ptr<tqimage::Objects> m_objects;
    const tqimage::Manifest m_manifest;
    const std::string m_version;
    std::unique_ptr<ChunkCache> m_cache;
    const uid_t m_uid = ::geteuid();
    std::atomic<bool> m_linkable{true};  // false once a link failed with EXDEV
    std::atomic<bool> m_cacheFailed{false};
    std::atomic<long long> m_retries{0};
    std::function<void(const std::string&)> m_note;
    tqtools::Interrupter m_stop;  // ends the pauses between fetches of a damaged chunk
};

// Opens the chunk cache's directory, made when missing; "" or the refusal.
std::string checkCacheDir(const std::string& dir) {
    struct stat st;
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return "Couldn't make the chunk cache " + dir + ": " + errnoText(errno);
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "The chunk cache " + dir + " is not a directory";
    return "";
}

}  // namespace

std::unique_ptr<Source> openManifestForStore(const std::string& source,
                                             const RemoteOptions& options,
                                             const std::string& chunkCache,
                                             const std::string& storeDir, bool allowShort,
                                             std::string* note, std::string* detail) {
    const std::string location = tqimage::withoutManifestPrefix(source);
    const std::string shown = redactUrl(location);
    const size_t scheme = location.find("://");
    if (scheme != std::string::npos && !isRemoteUrl(location) &&
        location.compare(0, 7, "file://") != 0) {
        *detail = "The manifest source " + shown + " has an unknown scheme \"" +
                  location.substr(0, scheme) + "\": it may be a path, file://, s3:// or http(s)://";
        return nullptr;
    }
    std::string root, name;
    if (!tqimage::splitManifestLocation(location, &root, &name)) {
        *detail = "The manifest source " + shown + " names no manifest: it ends in /manifests/NAME";
        return nullptr;
    }
    std::string why;
    std::unique_ptr<tqimage::Objects> objects = tqimage::openObjects(root, options, &why);
    if (!objects) {
        *detail = "Couldn't use the image root of " + shown + ": " + why;
        return nullptr;
    }
    std::string text;
    if (objects->get(tqimage::manifestKey(name), &text, &why) != 0) {
        *detail = "Couldn't read the manifest " + shown + ": " + why;
        return nullptr;
    }
    tqimage::Manifest manifest;
    if (tqimage::parseManifest(text, &manifest, &why) != 0) {
        *detail = "The manifest " + shown + " cannot be used: " + why + ". Not starting";
        return nullptr;
    }
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(storeDir.c_str(), &err));
    if (!store) {
        *detail = err.GetDescription();
        return nullptr;
    }
    if (manifest.extentSize != store->getExtentSize()) {
        *detail = "The manifest " + shown + " has extents of " +
                  std::to_string(manifest.extentSize) + " bytes, the recall store " + storeDir +
                  " of " + std::to_string(store->getExtentSize()) +
                  ": they must be equal. Not starting";
        return nullptr;
    }
    if (!chunkCache.empty() && !(why = checkCacheDir(chunkCache)).empty()) {
        *detail = why;
        return nullptr;
    }
    const std::string version = "sha256:" + tqimage::manifestDigest(text);
    long long zeros = 0;
    for (const tqimage::ManifestExtent& e : manifest.extents)
        zeros += e.zero ? 1 : 0;
    const long long extents = static_cast<long long>(manifest.extents.size());
    std::unique_ptr<Source> opened(
        new ManifestSource(std::move(objects), std::move(manifest), version, chunkCache));
    std::string sizeNote;
    if (!checkRemoteSize(*opened, store->getDeviceSize(), allowShort, &sizeNote, detail))
        return nullptr;
    *note = "reading image " + name + " from " + shown + ": " + std::to_string(opened->size()) +
            " bytes in " + std::to_string(extents) + " extents (" + std::to_string(zeros) +
            " all zeros), version " + version +
            (chunkCache.empty() ? "" : ", chunk cache " + chunkCache) +
            (sizeNote.empty() ? "" : "; " + sizeNote);
    return opened;
}

}  // namespace recalld
