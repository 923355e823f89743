#ifndef TQBLK_TQBLKBACKINGSTORE_H
#define TQBLK_TQBLKBACKINGSTORE_H

#include <tqblk/TqBlkExport.h>
#include <zyutils/ZyError.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Forms the name of an extent's file relative to the store directory ("data/" and one
// two-digit lowercase hexadecimal group per 7 bits of the largest extent number, groups
// separated by "/"). Returns the size of the name with its terminating NUL; with a null
// buffer nothing is written. Expects extentCount >= 1 and 0 <= extent < extentCount.
extern "C" TQBLK_EXPORT int tqblk_bstore_make_extent_fname(long long extent, long long extentCount,
                                                           char* buffer);

// Returns the extent number that a relative name spells for a store of extentCount extents,
// or -1 when it is not such a name. The number is not compared with extentCount.
extern "C" TQBLK_EXPORT long long tqblk_bstore_parse_extent_fname(const char* name,
                                                                  long long extentCount);

// One backing store: a directory holding "config" (UUID, device size, extent size), the
// extent files in the "data" tree and temporary files in "tmp". Objects come from the
// factories of TqBlkPrivateStore and TqBlkRecallStore and belong to the caller. An object
// is set up once and used by one thread at a time.
//
// What survives a power cut: the config file is replaced atomically (a temporary file beside
// it, written and synced, renamed over it, then the directory synced), so it is found old or
// new, never torn. An extent moved in survives complete only if the caller synced its
// temporary file before moveInExtentFile and syncs the extent's directory after it (and any
// directory made on the way); the library does not sync directories of extents. Links made
// by softLinkExtentFile and hardLinkExtentFile likewise need their directory synced by the
// caller. createExtentWithNUL syncs its file before the move-in, so after a cut its extent is
// either absent or whole, never present and short.
class TQBLK_EXPORT TqBlkBackingStore {
  public:
    enum TQBLK_STORE_TYPE { TQBLK_STORE_PRIVATE = 0, TQBLK_STORE_RECALL = 1 };

    explicit TqBlkBackingStore(TQBLK_STORE_TYPE type);
    ~TqBlkBackingStore();

    // --- Directory utilities ---
    // Makes a directory and its missing parents (mode 0777 less the umask). An existing
    // directory, or a link to one, is success.
    static CZyError mkdir(const std::string& path);
    // Makes the directory that is to hold the file at path; a bare name needs none.
    static CZyError makeParentDir(const std::string& path);
    // Deletes everything below dir and keeps dir itself. Links are removed, never entered.
    // Trees of any depth are emptied without recursion, holding two directories open at most.
    // Nothing on another mount is entered or removed (a bind mount of the same file system
    // included): such an entry and the directories above it stay, the rest goes, and the
    // call fails with EXDEV, "Couldn't remove %s: it is on another file system".
    static CZyError rmUnder(const std::string& dir);

    // --- Store lifecycle ---
    // Makes dir (with parents), deletes everything in it and writes its config file.
    // On failure after the arguments were accepted the object keeps the new values and the
    // directory may be partly emptied.
    CZyError createStore(const char* dir, const char* uuid, long long deviceSize, int extentSize);
    // Reads the config file of an existing store directory.
    CZyError openStore(const char* dir);
    // Writes the config file atomically: a complete new file replaces the old one.
    CZyError saveConfig() const;
    // Reads the config file; on failure the object's sizes and UUID stay as they were. Only a
    // regular file is read (anything else, a FIFO or a device, fails with EINVAL and is not
    // opened), and one of more than 64 KiB fails with EFBIG.
    CZyError readConfig();
    // Deletes everything in the store directory but its config file, then writes the config
    // file again; a clear that fails half-way leaves a store.
    CZyError clear();
    // Deletes a store directory with all it holds, after checking that it is one; a link
    // there is refused (ELOOP) before anything is touched. The config file goes last, so a
    // remove that fails half-way leaves a store.
    static CZyError remove(const char* dir);

    std::string getDir() const { return m_dir; }
    long long getDeviceSize() const { return m_deviceSize; }
    int getExtentSize() const { return m_extentSize; }

    // --- Extent file names ---
    // Sets *path to the full path of the extent's file (the file is not looked at). Fails
    // with EINVAL for an extent outside 0 .. extent count - 1, leaving *path as it was.
    CZyError getExtentFileName(long long extent, std::string* path);

    // --- Extent files ---
    // Sets *exists to whether the extent's file is present (links followed, so a soft link
    // that leads nowhere is absent). On failure *exists is not written.
    CZyError checkExtentFile(long long extent, bool* exists);
    // Removes the extent's file (a link is removed, not its target).
    CZyError pruneExtentFile(long long extent);
    // Creates and opens a new temporary file in the store's "tmp" directory for writing,
    // without O_CLOEXEC: a child the caller starts inherits it unless the caller sets it.
    // *path receives its full path; the descriptor or stream belongs to the caller. Gives up
    // with EEXIST when 1024 names drawn in a row are taken. The stream form leaves *stream
    // untouched on failure, and no file behind.
    CZyError openTempFile(std::string* path, int* fd);
    CZyError openTempFile(std::string* path, FILE** stream);
    // Opens the extent's file with the caller's open flags as given (mode 0666 where it
    // creates); O_CLOEXEC is not added, so pass it to keep the descriptor from children.
    // A recall store refuses any access but reading, and O_CREAT and O_TRUNC, with EPERM
    // before anything is written. The extent's parent directories are made first. On failure
    // *stream is not written and no descriptor stays open.
    CZyError openExtentFile(long long extent, int flags, int* fd);
    CZyError openExtentFile(long long extent, int flags, FILE** stream);
    // Moves the file at path to the extent's path, unless an extent file is already there,
    // even one that appeared a moment before; then the source stays where it is and remains
    // the caller's. A soft link that leads nowhere is no extent and is replaced.
    CZyError moveInExtentFile(const char* path, long long extent);
    // Makes the extent's file a sparse all-zero file of extent size, unless present. Leaves
    // no temporary file behind, on success or failure.
    CZyError createExtentWithNUL(long long extent);

    // --- Links between stores ---
    // Sets *exists to whether any entry stands at the extent's path (links not followed) and,
    // for a soft link, *target to its text.
    CZyError checkExtentLink(long long extent, bool* exists, std::string* target);
    // Makes the extent's path a soft link whose text is target. A link with that text is left
    // alone; any other entry (a file, a link elsewhere or one that leads nowhere) is replaced.
    CZyError softLinkExtentFile(const std::string& target, long long extent);
    // Makes the extent's path a hard link to sourceExtent's file in source (a store of equal
    // device and extent size), replacing what stands there. destExtent -1 means the same
    // number as sourceExtent. When both paths already name one file nothing changes.
    CZyError hardLinkExtentFile(TqBlkBackingStore* source, long long sourceExtent,
                                long long destExtent);

    // --- Extent bitmap ---
    // Fills *bitmap with one chunk per 32768 extents, each empty or 4096 bytes with a bit
    // per present extent (least significant first), and sets *count to 32768. Soft links
    // count when they lead to a file. On failure the bitmap holds what was found so far.
    // Folders deeper than the store's extent names are not entered.
    CZyError getExtentBitmap(std::vector<std::vector<unsigned char> >* bitmap, int* count);
    // The same scan, keeping only the chunks that hold a present extent: pairs of a chunk's
    // index and its 4096 bytes, in ascending order of index. Its memory grows with the
    // extents present, not with the extent count. On failure *chunks is empty.
    CZyError getPresentChunks(
        std::vector<std::pair<long long, std::vector<unsigned char> > >* chunks, int* count);

    TQBLK_STORE_TYPE m_type;
    std::string m_uuid;
    long long m_deviceSize;
    int m_extentSize;
    long long m_extentCount;
    std::string m_dir;
    int m_extentNameLen;

  private:
    // rmUnder that also keeps the top's entry keep (unless a directory), and with
    // refuseLink fails with ELOOP when dir is a link.
    static CZyError rmUnder(const std::string& dir, const char* keep, bool refuseLink);

    TqBlkBackingStore(const TqBlkBackingStore&) = delete;
    TqBlkBackingStore& operator=(const TqBlkBackingStore&) = delete;
};

// A store of the device's own, writable extents.
class TQBLK_EXPORT TqBlkPrivateStore : public TqBlkBackingStore {
  public:
    TqBlkPrivateStore() : TqBlkBackingStore(TQBLK_STORE_PRIVATE) {}

    // Return a new store (the caller deletes it) or null; *err always receives the outcome.
    static TqBlkPrivateStore* create(const char* dir, const char* uuid, long long deviceSize,
                                     int extentSize, CZyError* err);
    static TqBlkPrivateStore* open(const char* dir, CZyError* err);
};

// A store of extents brought in from elsewhere: they may be read, moved in, linked or
// created sparse, but not opened for writing.
class TQBLK_EXPORT TqBlkRecallStore : public TqBlkBackingStore {
  public:
    TqBlkRecallStore() : TqBlkBackingStore(TQBLK_STORE_RECALL) {}

    static TqBlkRecallStore* create(const char* dir, const char* uuid, long long deviceSize,
                                    int extentSize, CZyError* err);
    static TqBlkRecallStore* open(const char* dir, CZyError* err);
};

#endif
