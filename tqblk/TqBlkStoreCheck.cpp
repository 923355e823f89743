#include <tqblk/TqBlkStoreCheck.h>

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreLock.h>

#include <tqsys/DirEntries.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using tqsys::UniqueFd;
using Finding = TqBlkStoreFinding;

namespace {

constexpr size_t kDirBufferSize = 32 * 1024;
constexpr size_t kCompareChunk = 1 << 20;
constexpr unsigned kMaxThreads = 64;
// What the config writer names its temporary file before renaming it into place.
constexpr char kConfigTempPrefix[] = "config.tmp.";

// Hands out a directory's entries (never "." or "..") as a name and a type.
class DirReader {
  public:
    DirReader(int fd, char* buffer) : m_reader(fd, buffer, kDirBufferSize) {}

    // 1 with *name and *type set, 0 at the end, or -errno.
    int next(const char** name, unsigned char* type) {
        const tqsys::LinuxDirent64* entry = nullptr;
        const int r = m_reader.next(&entry);
        if (r > 0) {
            *name = entry->d_name;
            *type = entry->d_type;
        }
        return r;
    }

  private:
    tqsys::DirEntryReader m_reader;
};

UniqueFd openDirAt(int dirFd, const char* name) {
    return tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// O_NONBLOCK: an entry swapped for a FIFO after it was examined must not hang the check.
UniqueFd openFileAt(int dirFd, const char* name) {
    return tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
}

const char* typeWord(unsigned char type) {
    switch (type) {
        case DT_REG:
            return "regular file";
        case DT_DIR:
            return "directory";
        case DT_LNK:
            return "soft link";
        case DT_FIFO:
            return "FIFO";
        case DT_SOCK:
            return "socket";
        case DT_CHR:
            return "character device";
        case DT_BLK:
            return "block device";
        default:
            return "entry of unknown type";
    }
}

unsigned char typeOfMode(mode_t mode) {
    return static_cast<unsigned char>(IFTODT(mode));
}

// Value of a canonical name group ("00" to "7f"), or -1.
int groupValue(const char* name) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (name[0] < '0' || name[0] > '7' || name[1] == '\0' || name[2] != '\0')
        return -1;
    int low = hex(name[1]);
    return low < 0 ? -1 : (name[0] - '0') * 16 + low;
}

// Bytes of the device as the verify source holds them; what it lacks reads as zeros.
class VerifySource {
  public:
    virtual ~VerifySource() = default;
    virtual CZyError read(long long offset, char* buffer, size_t size) = 0;
};

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

struct Geometry {
    long long extentCount = 0;
    long long extentSize = 0;
    int groups = 0;
};

// Findings and counts of one part of the check; parts are merged into the caller's report.
class FindingSink {
  public:
    explicit FindingSink(size_t maxFindings) : m_maxFindings(maxFindings) {}

    void add(Finding::Kind kind, const std::string& path, const std::string& detail,
             bool repaired = false) {
        Finding finding{kind, path, detail, repaired};
        if (finding.isProblem()) {
            ++m_part.problems;
            m_part.repaired += repaired ? 1 : 0;
        }
        if (m_part.findings.size() >= m_maxFindings) {
            ++m_part.findingsDropped;
            return;
        }
        m_part.findings.push_back(std::move(finding));
    }

    void addUnreadable(const std::string& path, int errnoValue) {
        char text[256];
        add(Finding::TQBLK_FINDING_UNREADABLE, path,
            std::string("couldn't examine it: ") + ::strerror_r(errnoValue, text, sizeof text));
    }

    void countExtent() { ++m_part.extentsPresent; }

    void mergeInto(TqBlkStoreCheckReport* report) const {
        for (const Finding& finding : m_part.findings) {
            if (report->findings.size() < m_maxFindings)
                report->findings.push_back(finding);
            else
                ++report->findingsDropped;
        }
        report->findingsDropped += m_part.findingsDropped;
        report->extentsPresent += m_part.extentsPresent;
        report->problems += m_part.problems;
        report->repaired += m_part.repaired;
    }

  private:
    size_t m_maxFindings;
    TqBlkStoreCheckReport m_part;
};

// What the parts of one check share and only read.
struct CheckContext {
    const TqBlkStoreCheckOptions& options;
    Geometry geometry;
    bool mayRemove = false;  // the store's lock is held
};

// The type of a directory entry; a file system that leaves it out of the directory costs
// one stat.
unsigned char resolveType(int fd, const char* name, unsigned char type) {
    struct stat st;
    if (type != DT_UNKNOWN || ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return type;
    return typeOfMode(st.st_mode);
}

std::string linkText(int fd, const char* name) {
    char text[4096];
    ssize_t n = ::readlinkat(fd, name, text, sizeof text);
    return n < 0 ? std::string("?") : std::string(text, static_cast<size_t>(n));
}

std::string join(const std::string& dir, const char* name) {
    return dir + "/" + name;
}

std::string misplaced(unsigned char type, const char* belongs) {
    return std::string("a ") + typeWord(type) + " where " + belongs + " belongs";
}

// Walks one share of the data tree: the top-level groups whose value modulo the number of
// walkers is this walker's index. Recursion is bounded by the name depth (at most nine
// groups), whatever the tree on disk holds.
class TreeWalker {
  public:
    TreeWalker(const CheckContext& context, FindingSink* sink, VerifySource* source)
        : m_context(context), m_geometry(context.geometry), m_sink(sink), m_source(source) {
        for (int level = 0; level < m_geometry.groups; ++level)
            m_buffers.emplace_back(new char[kDirBufferSize]);
        if (m_source)
            m_compare.reset(new char[2 * compareChunk()]);
    }

    // dataFd is this walker's own descriptor of the data directory (directory offsets are
    // per descriptor).
    void walk(int dataFd, unsigned index, unsigned walkers) {
        m_index = index;
        m_walkers = walkers;
        std::string path = "data";
        walkLevel(dataFd, 0, 0, &path);
    }

  private:
    size_t compareChunk() const {
        return static_cast<size_t>(std::min<long long>(kCompareChunk, m_geometry.extentSize));
    }

    // Whether this walker handles a top-level entry; names that are no group go to the first.
    bool mine(int level, int group) const {
        if (level > 0 || m_walkers <= 1)
            return true;
        return static_cast<unsigned>(group < 0 ? 0 : group) % m_walkers == m_index;
    }

    void walkLevel(int fd, int level, unsigned long long prefix, std::string* path) {
        DirReader reader(fd, m_buffers[static_cast<size_t>(level)].get());
        const char* name = nullptr;
        unsigned char type = DT_UNKNOWN;
        long long entries = 0;
        int r;
        while ((r = reader.next(&name, &type)) > 0) {
            ++entries;
            const int group = groupValue(name);
            if (mine(level, group))
                checkTreeEntry(fd, level, prefix, name, group, type, path);
        }
        if (!mine(level, -1))
            return;
        if (r < 0)
            m_sink->addUnreadable(*path, -r);
        else if (entries == 0)
            m_sink->add(Finding::TQBLK_FINDING_EMPTY_DIRECTORY, *path, "empty directory");
    }

    void checkTreeEntry(int fd, int level, unsigned long long prefix, const char* name, int group,
                        unsigned char type, std::string* path) {
        const bool fileLevel = level == m_geometry.groups - 1;
        if (group < 0) {
            type = resolveType(fd, name, type);
            m_sink->add(Finding::TQBLK_FINDING_BAD_NAME, join(*path, name),
                        std::string("stray ") + typeWord(type) + ", not an extent " +
                            (fileLevel ? "file" : "directory") + " name");
            return;
        }
        const unsigned long long value = prefix * 128 + static_cast<unsigned>(group);
        const unsigned long long first = value << (7 * (m_geometry.groups - 1 - level));
        if (first >= static_cast<unsigned long long>(m_geometry.extentCount)) {
            addOutOfRange(join(*path, name), fileLevel, first);
            return;
        }
        if (fileLevel)
            checkExtentEntry(fd, name, type, static_cast<long long>(value), *path);
        else
            descend(fd, level, value, name, type, path);
    }

    void descend(int fd, int level, unsigned long long value, const char* name, unsigned char type,
                 std::string* path) {
        type = resolveType(fd, name, type);
        const size_t mark = path->size();
        path->append(1, '/').append(name);
        if (type != DT_DIR) {
            m_sink->add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, *path,
                        misplaced(type, "a directory"));
        } else {
            UniqueFd child(openDirAt(fd, name));
            if (child.valid())
                walkLevel(child.get(), level + 1, value, path);
            else
                m_sink->addUnreadable(*path, errno);
        }
        path->resize(mark);
    }

    void addOutOfRange(const std::string& path, bool file, unsigned long long first) {
        const std::string last = std::to_string(m_geometry.extentCount - 1);
        m_sink->add(Finding::TQBLK_FINDING_OUT_OF_RANGE, path,
                    file ? "extent " + std::to_string(first) + " is past the last extent " + last
                         : "holds extents from " + std::to_string(first) +
                               ", past the last extent " + last);
    }

    void checkExtentEntry(int fd, const char* name, unsigned char type, long long extent,
                          const std::string& dirPath) {
        struct stat st;
        if (type == DT_REG || type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)  // ENOENT: pruned while we read
                    m_sink->addUnreadable(join(dirPath, name), errno);
                return;
            }
            type = typeOfMode(st.st_mode);
        }
        if (type == DT_LNK) {
            checkExtentLink(fd, name, extent, dirPath);
            return;
        }
        if (type != DT_REG) {
            addWrongType(fd, name, dirPath, std::string("a ") + typeWord(type), type != DT_DIR);
            return;
        }
        checkExtentSize(fd, name, extent, dirPath, st.st_size, "");
    }

    void checkExtentLink(int fd, const char* name, long long extent, const std::string& dirPath) {
        struct stat st;
        if (::fstatat(fd, name, &st, 0) != 0) {
            const int e = errno;
            if (e != ENOENT && e != ELOOP && e != ENOTDIR) {
                m_sink->addUnreadable(join(dirPath, name), e);
                return;
            }
            // Read the link's text before a prune removes it.
            const std::string detail = "soft link to " + linkText(fd, name) + " leads nowhere";
            m_sink->add(Finding::TQBLK_FINDING_DANGLING_LINK, join(dirPath, name), detail,
                        prune(fd, name));
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            addWrongType(fd, name, dirPath,
                         std::string("a soft link to a ") + typeWord(typeOfMode(st.st_mode)), true);
            return;
        }
        checkExtentSize(fd, name, extent, dirPath, st.st_size, "soft link to a file of ");
    }

    void checkExtentSize(int fd, const char* name, long long extent, const std::string& dirPath,
                         long long size, const char* what) {
        if (size != m_geometry.extentSize) {
            m_sink->add(Finding::TQBLK_FINDING_WRONG_SIZE, join(dirPath, name),
                        what + std::to_string(size) + " bytes, expected " +
                            std::to_string(m_geometry.extentSize),
                        prune(fd, name));
            return;
        }
        m_sink->countExtent();
        if (m_source)
            verifyExtent(fd, name, extent, dirPath);
    }

    void addWrongType(int fd, const char* name, const std::string& dirPath, const std::string& what,
                      bool prunable) {
        m_sink->add(Finding::TQBLK_FINDING_WRONG_TYPE, join(dirPath, name),
                    what + " where an extent file belongs", prunable && prune(fd, name));
    }

    void verifyExtent(int fd, const char* name, long long extent, const std::string& dirPath) {
        UniqueFd file(openFileAt(fd, name));
        if (!file.valid()) {
            m_sink->addUnreadable(join(dirPath, name), errno);
            return;
        }
        const size_t chunk = compareChunk();
        char* ours = m_compare.get();
        char* theirs = ours + chunk;
        const long long base = extent * m_geometry.extentSize;
        for (long long done = 0; done < m_geometry.extentSize; done += chunk) {
            size_t got = 0;
            const int r = tqsys::PreadFull(file.get(), ours, chunk, done, &got);
            if (r < 0) {
                m_sink->addUnreadable(join(dirPath, name), -r);
                return;
            }
            std::memset(ours + got, 0, chunk - got);
            CZyError err = m_source->read(base + done, theirs, chunk);
            if (err.IsError()) {
                m_sink->add(Finding::TQBLK_FINDING_UNREADABLE, join(dirPath, name),
                            "verify source: " + err.GetMessages().front());
                return;
            }
            if (std::memcmp(ours, theirs, chunk) != 0) {
                addMismatch(fd, name, join(dirPath, name), base + done, ours, theirs, chunk);
                return;
            }
        }
    }

    // A wrong extent is pruned like a damaged one: a device must never serve its bytes.
    void addMismatch(int fd, const char* name, const std::string& path, long long offset,
                     const char* ours, const char* theirs, size_t size) {
        size_t i = 0;
        while (i < size && ours[i] == theirs[i])
            ++i;
        m_sink->add(Finding::TQBLK_FINDING_MISMATCH, path,
                    "differs from " + m_context.options.verifyAgainst + " at device offset " +
                        std::to_string(offset + static_cast<long long>(i)),
                    prune(fd, name));
    }

    // Removes a damaged extent entry when asked to and allowed to.
    bool prune(int fd, const char* name) {
        return m_context.options.pruneDamagedExtents && m_context.mayRemove &&
               ::unlinkat(fd, name, 0) == 0;
    }

    const CheckContext& m_context;
    const Geometry& m_geometry;
    FindingSink* m_sink;
    VerifySource* m_source;
    unsigned m_index = 0;
    unsigned m_walkers = 1;
    std::vector<std::unique_ptr<char[]>> m_buffers;  // one directory buffer per tree level
    std::unique_ptr<char[]> m_compare;  // an extent's chunk and the source's, side by side
};

// One walker of the data tree with everything it owns, run on its own thread or the
// caller's.
class TreeWorker {
  public:
    TreeWorker(const CheckContext& context, unsigned index, unsigned walkers)
        : m_context(context),
          m_index(index),
          m_walkers(walkers),
          m_sink(context.options.maxFindings) {}

    void run(int storeFd) {
        try {
            m_error = walk(storeFd);
        } catch (const std::bad_alloc&) {
            m_error = JQErrorUtil::ErrorErrNo(JQ_HERE, ENOMEM, "Couldn't allocate memory");
        }
    }

    const CZyError& error() const { return m_error; }
    const FindingSink& sink() const { return m_sink; }

  private:
    CZyError walk(int storeFd) {
        std::unique_ptr<VerifySource> source;
        if (!m_context.options.verifyAgainst.empty()) {
            CZyError err = openVerifySource(m_context.options.verifyAgainst, &source);
            if (err.IsError())
                return err.Push(JQ_HERE);
        }
        UniqueFd data(openDirAt(storeFd, "data"));
        if (!data.valid()) {
            if (m_index == 0)
                m_sink.addUnreadable("data", errno);
            return CZyError::Success();
        }
        TreeWalker walker(m_context, &m_sink, source.get());
        walker.walk(data.get(), m_index, m_walkers);
        return CZyError::Success();
    }

    const CheckContext& m_context;
    unsigned m_index;
    unsigned m_walkers;
    FindingSink m_sink;
    CZyError m_error;
};

// One run of the checker over one store directory.
class StoreChecker {
  public:
    StoreChecker(const char* dir, const TqBlkStoreCheckOptions& options,
                 TqBlkStoreCheckReport* report)
        : m_dir(dir),
          m_context{options, Geometry(), false},
          m_report(report),
          m_sink(options.maxFindings) {}

    CZyError run() {
        CZyError err = openStoreDir();
        if (err.IsError())
            return err;
        if (!m_context.options.verifyAgainst.empty()) {
            // Opened once up front so that a bad source fails before anything is removed.
            std::unique_ptr<VerifySource> probe;
            err = openVerifySource(m_context.options.verifyAgainst, &probe);
            if (err.IsError())
                return err.Push(JQ_HERE);
        }
        err = takeLock();
        if (err.IsError())
            return err;
        err = checkStoreDir();
        m_sink.mergeInto(m_report);
        if (err.IsError())
            return err;
        return m_dataPending ? checkData() : CZyError::Success();
    }

  private:
    CZyError openStoreDir() {
        if (m_dir == nullptr || *m_dir == '\0')
            return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                           "NULL or empty directory passed as input");
        m_storeFd = tqsys::OpenRetrying(m_dir, O_RDONLY | O_DIRECTORY);
        if (!m_storeFd.valid())
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno,
                                           "Couldn't open backing store directory %s", m_dir);
        return CZyError::Success();
    }

    // Removals need the lock; a plain check only probes it, so that a service is not kept
    // from starting while the walk runs.
    CZyError takeLock() {
        const TqBlkStoreCheckOptions& options = m_context.options;
        const bool removing = options.repair || options.pruneDamagedExtents;
        CZyError err = m_lock.lock(m_dir, false);
        if (err.IsError() && err.GetErrNo() != EWOULDBLOCK)
            return removing ? err.Push(JQ_HERE) : CZyError::Success();
        m_report->lockedByOther = err.IsError();
        if (!removing)
            m_lock.unlock();
        m_context.mayRemove = m_lock.isLocked();
        return CZyError::Success();
    }

    CZyError checkStoreDir() {
        std::unique_ptr<char[]> buffer(new char[kDirBufferSize]);
        DirReader reader(m_storeFd.get(), buffer.get());
        const char* name = nullptr;
        unsigned char type = DT_UNKNOWN;
        unsigned char dataType = DT_UNKNOWN, tmpType = DT_UNKNOWN;
        bool haveConfig = false, haveData = false, haveTmp = false;
        int r;
        while ((r = reader.next(&name, &type)) > 0) {
            if (std::strcmp(name, "config") == 0) {
                haveConfig = true;
            } else if (std::strcmp(name, "data") == 0) {
                haveData = true;
                dataType = type;
            } else if (std::strcmp(name, "tmp") == 0) {
                haveTmp = true;
                tmpType = type;
            } else {
                checkStrayTopEntry(name, type);
            }
        }
        if (r < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read backing store directory %s",
                                           m_dir);
        const bool configOk = checkConfig(haveConfig);
        if (haveTmp)
            checkTmp(tmpType);
        m_dataPending = haveData && configOk && checkDataType(dataType);
        return CZyError::Success();
    }

    void checkStrayTopEntry(const char* name, unsigned char type) {
        type = resolveType(m_storeFd.get(), name, type);
        if (std::strncmp(name, kConfigTempPrefix, sizeof kConfigTempPrefix - 1) == 0 &&
            type != DT_DIR) {
            addTempFile(m_storeFd.get(), name, name, type);
            return;
        }
        m_sink.add(Finding::TQBLK_FINDING_UNKNOWN_ENTRY, name,
                   std::string("unexpected ") + typeWord(type) + " in the store directory");
    }

    bool checkConfig(bool present) {
        if (!present) {
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config", "missing");
            return false;
        }
        // Only a regular file is read: a FIFO there would hang the reader.
        struct stat st;
        if (::fstatat(m_storeFd.get(), "config", &st, 0) != 0 || !S_ISREG(st.st_mode)) {
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config", "not a regular file");
            return false;
        }
        TqBlkBackingStore store(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
        CZyError err = store.openStore(m_dir);
        if (err.IsError()) {
            const std::vector<std::string> messages = err.GetMessages();
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config",
                       messages.empty() ? "refused by the reader" : messages.front());
            return false;
        }
        Geometry& geometry = m_context.geometry;
        geometry.extentCount = store.m_extentCount;
        geometry.extentSize = store.getExtentSize();
        geometry.groups = (tqblk_bstore_make_extent_fname(0, store.m_extentCount, nullptr) - 5) / 3;
        m_report->extentCount = store.m_extentCount;
        if (store.getDeviceSize() < store.getExtentSize())
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config",
                       "device size " + std::to_string(store.getDeviceSize()) +
                           " is smaller than one extent of " +
                           std::to_string(store.getExtentSize()));
        return true;
    }

    void checkTmp(unsigned char type) {
        type = resolveType(m_storeFd.get(), "tmp", type);
        if (type != DT_DIR) {
            m_sink.add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, "tmp",
                       misplaced(type, "a directory"));
            return;
        }
        UniqueFd fd(openDirAt(m_storeFd.get(), "tmp"));
        if (!fd.valid()) {
            m_sink.addUnreadable("tmp", errno);
            return;
        }
        std::unique_ptr<char[]> buffer(new char[kDirBufferSize]);
        DirReader reader(fd.get(), buffer.get());
        const char* name = nullptr;
        unsigned char entryType = DT_UNKNOWN;
        int r;
        while ((r = reader.next(&name, &entryType)) > 0) {
            const std::string path = std::string("tmp/") + name;
            entryType = resolveType(fd.get(), name, entryType);
            if (entryType == DT_DIR)
                m_sink.add(Finding::TQBLK_FINDING_UNKNOWN_ENTRY, path, "a directory inside tmp");
            else
                addTempFile(fd.get(), name, path, entryType);
        }
        if (r < 0)
            m_sink.addUnreadable("tmp", -r);
    }

    void addTempFile(int dirFd, const char* name, const std::string& path, unsigned char type) {
        const bool removed =
            m_context.options.repair && m_context.mayRemove && ::unlinkat(dirFd, name, 0) == 0;
        m_sink.add(Finding::TQBLK_FINDING_TEMP_FILE, path,
                   std::string("leftover temporary ") + typeWord(type), removed);
    }

    bool checkDataType(unsigned char type) {
        type = resolveType(m_storeFd.get(), "data", type);
        if (type == DT_DIR)
            return true;
        m_sink.add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, "data", misplaced(type, "a directory"));
        return false;
    }

    // Walkers split the top level of the tree between them; the first runs on this thread.
    CZyError checkData() {
        unsigned walkers = std::max(1u, std::min(m_context.options.threads, kMaxThreads));
        if (m_context.geometry.groups < 2)
            walkers = 1;
        std::vector<std::unique_ptr<TreeWorker>> workers;
        for (unsigned i = 0; i < walkers; ++i)
            workers.emplace_back(new TreeWorker(m_context, i, walkers));
        std::vector<std::thread> threads;
        const int storeFd = m_storeFd.get();
        try {
            for (unsigned i = 1; i < walkers; ++i)
                threads.emplace_back([&workers, i, storeFd] { workers[i]->run(storeFd); });
        } catch (const std::system_error&) {
            // No more threads to be had: this one takes the shares of those not started.
        }
        workers[0]->run(storeFd);
        for (size_t i = threads.size() + 1; i < walkers; ++i)
            workers[i]->run(storeFd);
        for (std::thread& thread : threads)
            thread.join();
        return mergeWorkers(workers);
    }

    CZyError mergeWorkers(const std::vector<std::unique_ptr<TreeWorker>>& workers) {
        for (const std::unique_ptr<TreeWorker>& worker : workers) {
            if (worker->error().IsError()) {
                CZyError err = worker->error();
                return err.Push(JQ_HERE);
            }
            worker->sink().mergeInto(m_report);
        }
        return CZyError::Success();
    }

    const char* m_dir;
    CheckContext m_context;
    TqBlkStoreCheckReport* m_report;
    FindingSink m_sink;  // findings outside the data tree
    UniqueFd m_storeFd;
    TqBlkStoreLock m_lock;
    bool m_dataPending = false;
};

}  // namespace

const char* tqblk_store_finding_name(TqBlkStoreFinding::Kind kind) {
    switch (kind) {
        case Finding::TQBLK_FINDING_BAD_CONFIG:
            return "bad-config";
        case Finding::TQBLK_FINDING_UNKNOWN_ENTRY:
            return "unknown-entry";
        case Finding::TQBLK_FINDING_NOT_A_DIRECTORY:
            return "not-a-directory";
        case Finding::TQBLK_FINDING_BAD_NAME:
            return "bad-name";
        case Finding::TQBLK_FINDING_OUT_OF_RANGE:
            return "out-of-range";
        case Finding::TQBLK_FINDING_WRONG_SIZE:
            return "wrong-size";
        case Finding::TQBLK_FINDING_WRONG_TYPE:
            return "wrong-type";
        case Finding::TQBLK_FINDING_DANGLING_LINK:
            return "dangling-link";
        case Finding::TQBLK_FINDING_UNREADABLE:
            return "unreadable";
        case Finding::TQBLK_FINDING_TEMP_FILE:
            return "temp-file";
        case Finding::TQBLK_FINDING_MISMATCH:
            return "mismatch";
        case Finding::TQBLK_FINDING_EMPTY_DIRECTORY:
            return "empty-directory";
    }
    return "unknown";
}

int TqBlkStoreCheckReport::exitCode() const {
    if (problems == 0)
        return 0;
    return repaired == problems ? 1 : 4;
}

CZyError tqblk_check_store(const char* dir, const TqBlkStoreCheckOptions& options,
                           TqBlkStoreCheckReport* report) {
    *report = TqBlkStoreCheckReport();
    try {
        StoreChecker checker(dir, options, report);
        CZyError err = checker.run();
        if (err.IsError())
            return err.Push(JQ_HERE, "Couldn't check backing store %s", dir ? dir : "(null)");
        return CZyError::Success();
    } catch (const std::bad_alloc&) {
        return JQErrorUtil::ErrorErrNo(JQ_HERE, ENOMEM, "Couldn't check backing store %s",
                                       dir ? dir : "(null)");
    }
}
