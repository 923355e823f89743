#include <tqblk/TqBlkBackingStore.h>

#include "FullIo.h"
#include "UniqueFd.h"

#include <zyutils/TraverseFolder.h>
#include <zyutils/ZyPath.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <thread>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using tqblk::UniqueFd;

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------------------

int tqblk_mkdir(const std::string& path) {
    return ::mkdir(path.c_str(), 0777);
}

bool isPow2(long long value) {
    if (value <= 1)
        return false;
    while ((value & 1) == 0)
        value >>= 1;
    return value == 1;
}

long long extentCountOf(long long deviceSize, int extentSize) {
    return (deviceSize - 1) / extentSize + 1;
}

// An existing entry at path counts as made when it is a directory or leads to one.
CZyError judgeExisting(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Can't stat %s", path.c_str());
    if (!S_ISDIR(st.st_mode))
        return JQErrorUtil::ErrorErrNo(
            JQ_HERE, ENOTDIR, "Can't make directory %s. It already exists and is not a directory",
            path.c_str());
    return CZyError::Success();
}

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

// Opens the directory name below dirFd as a directory stream; path names it in messages.
CZyError openDirStream(int dirFd, const char* name, int flags, const std::string& path,
                       DirPtr* dir) {
    int fd;
    do {
        fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open directory %s", path.c_str());
    DIR* raw = ::fdopendir(fd);
    if (!raw) {
        int e = errno;
        ::close(fd);
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open directory %s", path.c_str());
    }
    dir->reset(raw);
    return CZyError::Success();
}

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Empties a directory tree of any depth without recursion, holding at most two directories
// open: it goes down into one sub-directory at a time and comes back up through "..",
// checking that ".." is still the directory it came from.
class TreeRemover {
  public:
    explicit TreeRemover(const std::string& dir) : m_dir(nullptr, ::closedir), m_path(dir) {}

    CZyError run() {
        CZyError err = openDirStream(AT_FDCWD, m_path.c_str(), 0, m_path, &m_dir);
        if (err.IsError())
            return err;
        for (;;) {
            std::string subDir;
            err = removeEntries(&subDir);
            if (!err.IsError() && !subDir.empty())
                err = enter(subDir);
            else if (!err.IsError() && m_levels.empty())
                return CZyError::Success();
            else if (!err.IsError())
                err = leave();
            if (err.IsError())
                return pushLevels(err);
        }
    }

  private:
    // A directory entered below the top: where its name starts in m_path, and the identity
    // of its parent, to recognise the way back up.
    struct Level {
        size_t m_nameStart;
        dev_t m_parentDev;
        ino_t m_parentIno;
    };

    // Failures deeper than this many levels share one message, so that a failure at the
    // bottom of a very deep tree does not cost memory in the square of its depth.
    static constexpr size_t kNamedLevels = 256;

    // Unlinks the current directory's entries until it is empty or a sub-directory is met,
    // whose name then goes to *subDir. Linux reports a directory through unlink's EISDIR.
    CZyError removeEntries(std::string* subDir) {
        for (;;) {
            errno = 0;
            struct dirent64* entry = ::readdir64(m_dir.get());
            if (!entry && errno != 0)
                return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't read directory %s",
                                               m_path.c_str());
            if (!entry)
                return CZyError::Success();
            if (isDotOrDotDot(entry->d_name))
                continue;
            if (::unlinkat(::dirfd(m_dir.get()), entry->d_name, 0) == 0)
                continue;
            int e = errno;
            if (e == EISDIR) {
                subDir->assign(entry->d_name);
                return CZyError::Success();
            }
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't remove %s",
                                           (m_path + "/" + entry->d_name).c_str());
        }
    }

    CZyError enter(const std::string& name) {
        struct stat st;
        if (::fstat(::dirfd(m_dir.get()), &st) != 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat directory %s",
                                           m_path.c_str());
        m_levels.push_back(Level{m_path.size() + 1, st.st_dev, st.st_ino});
        m_path.append(1, '/').append(name);
        DirPtr child(nullptr, ::closedir);
        CZyError err =
            openDirStream(::dirfd(m_dir.get()), name.c_str(), O_NOFOLLOW, m_path, &child);
        if (!err.IsError())
            m_dir = std::move(child);
        return err;
    }

    // Goes back up to the parent and removes the directory just emptied.
    CZyError leave() {
        const Level level = m_levels.back();
        const std::string parentPath = m_path.substr(0, level.m_nameStart - 1);
        DirPtr parent(nullptr, ::closedir);
        CZyError err = openDirStream(::dirfd(m_dir.get()), "..", 0, parentPath, &parent);
        if (err.IsError())
            return err;
        struct stat st;
        if (::fstat(::dirfd(parent.get()), &st) != 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat directory %s",
                                           parentPath.c_str());
        if (st.st_dev != level.m_parentDev || st.st_ino != level.m_parentIno)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, EBUSY,
                                           "Couldn't return to directory %s: it was moved",
                                           parentPath.c_str());
        const std::string childPath = m_path;
        m_dir = std::move(parent);
        m_levels.pop_back();
        m_path.resize(level.m_nameStart - 1);
        if (::unlinkat(::dirfd(m_dir.get()), childPath.c_str() + level.m_nameStart, AT_REMOVEDIR) !=
            0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't remove directory %s",
                                           childPath.c_str());
        return CZyError::Success();
    }

    // Adds "Couldn't remove directory" for each level entered, deepest first, as a
    // recursive walk would on its way back up.
    CZyError pushLevels(CZyError err) const {
        size_t level = m_levels.size();
        if (level > kNamedLevels) {
            err.Push(JQ_HERE, "Couldn't remove %zu nested directories below %s",
                     level - kNamedLevels, pathOfLevel(kNamedLevels - 1).c_str());
            level = kNamedLevels;
        }
        while (level-- > 0)
            err.Push(JQ_HERE, "Couldn't remove directory %s", pathOfLevel(level).c_str());
        return err;
    }

    std::string pathOfLevel(size_t level) const {
        return level + 1 < m_levels.size() ? m_path.substr(0, m_levels[level + 1].m_nameStart - 1)
                                           : m_path;
    }

    DirPtr m_dir;  // the directory being emptied
    std::string m_path;
    std::vector<Level> m_levels;
};

// ---------------------------------------------------------------------------------------
// Config file
// ---------------------------------------------------------------------------------------

constexpr int kConfigLineSize = 1024;  // one read of the config file takes 1023 characters
// A config file is three short lines; a larger file is refused rather than read whole.
constexpr size_t kMaxConfigSize = 64 * 1024;
const char kSpaces[] = " \t\n\v\f\r";

std::string configPath(const std::string& dir) {
    return dir + "/config";
}

// A UUID reads back unchanged only when the reader sees it whole on one line and keeps all
// of it: no comment sign, no control character, no white space at either end. The line
// feed may arrive as a piece of its own.
bool uuidSurvivesConfig(const char* uuid) {
    const size_t maxLength = kConfigLineSize - 1 - std::strlen("uuid=");
    size_t length = std::strlen(uuid);
    if (length > maxLength)
        return false;
    if (std::strchr(kSpaces, uuid[0]) || std::strchr(kSpaces, uuid[length - 1]))
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(uuid); *p; ++p)
        if (*p == '#' || *p < 0x20 || *p == 0x7f)
            return false;
    return true;
}

std::string trim(const char* begin, const char* end) {
    while (begin < end && std::strchr(kSpaces, *begin) && *begin)
        ++begin;
    while (end > begin && std::strchr(kSpaces, end[-1]) && end[-1])
        --end;
    return std::string(begin, end);
}

// Values as the reader found them; -1 marks a size that was not given.
struct ConfigValues {
    std::string uuid;
    long long deviceSize = -1;
    int extentSize = -1;
};

void parseConfigLine(char* line, ConfigValues* values) {
    if (char* hash = std::strchr(line, '#'))
        *hash = '\0';
    char* equals = std::strchr(line, '=');
    if (!equals)
        return;
    std::string key = trim(line, equals);
    std::string value = trim(equals + 1, equals + 1 + std::strlen(equals + 1));
    if (key == "uuid")
        values->uuid = value;
    else if (key == "device_size")
        values->deviceSize = std::strtoll(value.c_str(), nullptr, 0);
    else if (key == "extent_size")
        values->extentSize = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
}

// Hands each line to parseConfigLine as fgets with a buffer of kConfigLineSize bytes would:
// a piece ends after a line feed or after kConfigLineSize - 1 characters.
void parseConfigText(const std::string& text, ConfigValues* values) {
    char line[kConfigLineSize];
    for (size_t pos = 0; pos < text.size();) {
        size_t length = std::min(text.size() - pos, sizeof line - 1);
        const void* feed = std::memchr(text.data() + pos, '\n', length);
        if (feed)
            length = static_cast<size_t>(static_cast<const char*>(feed) - (text.data() + pos)) + 1;
        std::memcpy(line, text.data() + pos, length);
        line[length] = '\0';
        parseConfigLine(line, values);
        pos += length;
    }
}

CZyError notRegularConfig(const std::string& path) {
    return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Config file %s is not a regular file",
                                   path.c_str());
}

// Opens the config file for reading, refusing anything but a regular file: a FIFO would
// block the open or the read forever, and opening a device may act on it.
CZyError openConfigForReading(const std::string& path, UniqueFd* fd) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open config file %s for reading",
                                       path.c_str());
    if (!S_ISREG(st.st_mode))
        return notRegularConfig(path);
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open config file %s for reading",
                                       path.c_str());
    fd->reset(raw);
    // The entry may have been replaced between the stat and the open.
    if (::fstat(fd->get(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat config file %s",
                                       path.c_str());
    if (!S_ISREG(st.st_mode))
        return notRegularConfig(path);
    return CZyError::Success();
}

// Reads the whole config file into *text, refusing one of more than kMaxConfigSize bytes.
CZyError loadConfigText(const std::string& path, std::string* text) {
    UniqueFd fd;
    CZyError err = openConfigForReading(path, &fd);
    if (err.IsError())
        return err;
    // One byte more than allowed tells a file that is too large from one that just fits.
    text->resize(kMaxConfigSize + 1);
    const ssize_t n = tqblk::PreadFully(fd.get(), &(*text)[0], text->size(), 0);
    if (n < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, static_cast<int>(-n),
                                       "Couldn't read config file %s", path.c_str());
    const size_t done = static_cast<size_t>(n);
    if (done > kMaxConfigSize)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EFBIG, "Config file %s is larger than %zu bytes",
                                       path.c_str(), kMaxConfigSize);
    text->resize(done);
    return CZyError::Success();
}

CZyError writeAll(int fd, const std::string& text, const std::string& path) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't write config file %s",
                                           path.c_str());
        done += static_cast<size_t>(n);
    }
    return CZyError::Success();
}

// Claims a new temporary file beside the config file, named uniquely within this process
// and from other processes by the pid.
int openConfigTemp(const std::string& config, std::string* tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *tempPath = config + ".tmp." + std::to_string(::getpid()) + "." +
                    std::to_string(counter.fetch_add(1));
        int fd;
        do {
            fd = ::open(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

CZyError syncDirectory(const std::string& dir, const std::string& config) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't sync directory of config file %s",
                                       config.c_str());
    return CZyError::Success();
}

// Writes text to a new temporary file and renames it over config, so readers see either
// the old or the new file whole. Only the temporary file is touched on failure.
CZyError replaceConfigFile(const std::string& dir, const std::string& config,
                           const std::string& text) {
    std::string tempPath;
    UniqueFd fd(openConfigTemp(config, &tempPath));
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't open config file %s for writing",
                                       config.c_str());
    CZyError err = writeAll(fd.get(), text, config);
    if (!err.IsError() && ::fsync(fd.get()) != 0)
        err = JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't flush config file %s",
                                      config.c_str());
    if (!err.IsError() && ::close(fd.release()) != 0)
        err = JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't close config file %s",
                                      config.c_str());
    if (!err.IsError() && ::rename(tempPath.c_str(), config.c_str()) != 0)
        err = JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't replace config file %s",
                                      config.c_str());
    if (err.IsError()) {
        ::unlink(tempPath.c_str());
        return err;
    }
    return syncDirectory(dir, config);
}

template <class Store, class Setup>
Store* makeStore(CZyError* err, Setup setup) {
    Store* store = new Store();
    *err = setup(store);
    if (err->IsError()) {
        delete store;
        return nullptr;
    }
    return store;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Directory utilities
// ---------------------------------------------------------------------------------------

CZyError TqBlkBackingStore::mkdir(const std::string& path) {
    if (path.empty())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Can't make a directory with empty name");
    if (tqblk_mkdir(path) == 0)
        return CZyError::Success();
    int e = errno;
    if (e == EEXIST)
        return judgeExisting(path);
    size_t slash = path.rfind('/');
    if (e == ENOENT && slash != std::string::npos) {
        CZyError err = TqBlkBackingStore::mkdir(path.substr(0, slash));
        if (err.IsError())
            return err.Push(JQ_HERE, "Can't make directory %s", path.c_str());
        if (tqblk_mkdir(path) == 0)
            return CZyError::Success();
        e = errno;
        // A path ending in "/", or a directory made meanwhile by someone else.
        if (e == EEXIST)
            return judgeExisting(path);
    }
    return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Can't make directory %s", path.c_str());
}

CZyError TqBlkBackingStore::makeParentDir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return CZyError::Success();
    return TqBlkBackingStore::mkdir(path.substr(0, slash));
}

CZyError TqBlkBackingStore::rmUnder(const std::string& dir) {
    if (dir.empty())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                       "Can't delete children of a directory with empty name");
    // A first pass unlinks the tree's files and links on as many threads as the walk takes,
    // and the folders it emptied, and leaves the rest to the remover, which then meets only
    // empty folders. Should anything resist the first pass, it stops, and the remover meets
    // the same failure again and reports it as it always has.
    class FileUnlinker : public CTraverseFolder {
      public:
        explicit FileUnlinker(const std::string& top) {
            SetConcurrentHandlers(true);
            AddFolderToList(top, "");
        }
        CZyError OnFile(const std::string&, const std::string&, JQFile::CFileData& data) override {
            return unlinkEntry(data);
        }
        CZyError OnReparsePointFile(const std::string&, const std::string&,
                                    JQFile::CFileData& data) override {
            return unlinkEntry(data);
        }
        void OnFolderDone(const std::string&, const std::string&,
                          JQFile::CFileData& data) override {
            if (data.m_folderFd >= 0)
                ::unlinkat(data.m_folderFd, data.m_name, AT_REMOVEDIR);
        }

      private:
        static CZyError unlinkEntry(const JQFile::CFileData& data) {
            if (::unlinkat(data.m_folderFd, data.m_name, 0) == 0 || errno == EISDIR)
                return CZyError::Success();
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't remove %s", data.m_name);
        }
    };
    if (CTraverseFolder::DefaultThreadCount() > 1)
        FileUnlinker(dir).Traverse();
    return TreeRemover(dir).run();
}

// ---------------------------------------------------------------------------------------
// Store lifecycle
// ---------------------------------------------------------------------------------------

TqBlkBackingStore::TqBlkBackingStore(TQBLK_STORE_TYPE type)
    : m_type(type), m_deviceSize(0), m_extentSize(0), m_extentCount(0), m_extentNameLen(0) {}

TqBlkBackingStore::~TqBlkBackingStore() = default;

CZyError TqBlkBackingStore::createStore(const char* dir, const char* uuid, long long deviceSize,
                                        int extentSize) {
    if (!dir || !*dir)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "NULL or empty directory passed as input");
    if (!uuid || !*uuid)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "NULL or empty UUID passed as input");
    if (!uuidSurvivesConfig(uuid))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid UUID \"%s\" passed as input",
                                       uuid);
    if (deviceSize < 1)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid device size %lld passed as input",
                                       deviceSize);
    if (extentSize <= 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid extent size %d passed as input",
                                       extentSize);
    if (!isPow2(extentSize))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Extent size %d must've been a power of 2",
                                       extentSize);
    m_dir = dir;
    m_uuid = uuid;
    m_deviceSize = deviceSize;
    m_extentSize = extentSize;
    m_extentCount = extentCountOf(deviceSize, extentSize);

    CZyError err = mkdir(m_dir);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't create backing store's directory %s", dir);
    err = rmUnder(m_dir);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't clean backing store's directory %s", dir);
    err = saveConfig();
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't save backing store's config file");
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openStore(const char* dir) {
    if (!dir || !*dir)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "NULL or empty directory passed as input");
    struct stat st;
    if (::stat(dir, &st) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't stat backing store directory %s",
                                       dir);
    if (!S_ISDIR(st.st_mode))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, ENOTDIR, "%s is not a directory", dir);
    m_dir = dir;
    CZyError err = readConfig();
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't open backing store in %s", dir);
    return CZyError::Success();
}

CZyError TqBlkBackingStore::saveConfig() const {
    char text[kConfigLineSize * 2];
    int n = std::snprintf(text, sizeof text, "uuid=%s\ndevice_size=%lld\nextent_size=%d\n",
                          m_uuid.c_str(), m_deviceSize, m_extentSize);
    std::string content = static_cast<size_t>(n) < sizeof text
                              ? std::string(text, static_cast<size_t>(n))
                              : "uuid=" + m_uuid + "\ndevice_size=" + std::to_string(m_deviceSize) +
                                    "\nextent_size=" + std::to_string(m_extentSize) + "\n";
    return replaceConfigFile(m_dir, configPath(m_dir), content);
}

CZyError TqBlkBackingStore::readConfig() {
    std::string path = configPath(m_dir);
    std::string text;
    CZyError err = loadConfigText(path, &text);
    if (err.IsError())
        return err;
    ConfigValues values;
    parseConfigText(text, &values);

    if (values.uuid.empty())
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Couldn't find UUID in config file %s",
                                       path.c_str());
    if (values.deviceSize < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                       "Couldn't find device size in config file %s", path.c_str());
    if (values.extentSize < 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                       "Couldn't find extent size in config file %s", path.c_str());
    if (values.deviceSize == 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid device size 0 in config file %s",
                                       path.c_str());
    if (!isPow2(values.extentSize))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Invalid extent size %d in config file %s",
                                       values.extentSize, path.c_str());
    m_uuid = values.uuid;
    m_deviceSize = values.deviceSize;
    m_extentSize = values.extentSize;
    m_extentCount = extentCountOf(m_deviceSize, m_extentSize);
    return CZyError::Success();
}

CZyError TqBlkBackingStore::clear() {
    CZyError err = rmUnder(m_dir);
    if (!err.IsError())
        err = saveConfig();
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't clear backing store %s", m_uuid.c_str());
    return CZyError::Success();
}

CZyError TqBlkBackingStore::remove(const char* dir) {
    CZyError err;
    {
        TqBlkBackingStore probe(TQBLK_STORE_PRIVATE);
        err = probe.openStore(dir);
    }
    if (err.IsError())
        return err.Push(JQ_HERE, "%s is not a backing store directory", dir ? dir : "(null)");
    err = rmUnder(dir);
    if (err.IsError())
        return err.Push(JQ_HERE);
    if (::rmdir(dir) != 0)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errno, "Couldn't remove backing store directory %s",
                                       dir);
    return CZyError::Success();
}

TqBlkPrivateStore* TqBlkPrivateStore::create(const char* dir, const char* uuid,
                                             long long deviceSize, int extentSize, CZyError* err) {
    return makeStore<TqBlkPrivateStore>(err, [&](TqBlkBackingStore* s) {
        return s->createStore(dir, uuid, deviceSize, extentSize);
    });
}

TqBlkPrivateStore* TqBlkPrivateStore::open(const char* dir, CZyError* err) {
    return makeStore<TqBlkPrivateStore>(err,
                                        [&](TqBlkBackingStore* s) { return s->openStore(dir); });
}

TqBlkRecallStore* TqBlkRecallStore::create(const char* dir, const char* uuid, long long deviceSize,
                                           int extentSize, CZyError* err) {
    return makeStore<TqBlkRecallStore>(err, [&](TqBlkBackingStore* s) {
        return s->createStore(dir, uuid, deviceSize, extentSize);
    });
}

TqBlkRecallStore* TqBlkRecallStore::open(const char* dir, CZyError* err) {
    return makeStore<TqBlkRecallStore>(err,
                                       [&](TqBlkBackingStore* s) { return s->openStore(dir); });
}

// ---------------------------------------------------------------------------------------
// Extent file names
// ---------------------------------------------------------------------------------------

namespace {

// 7 * (group count - 1): the shift of the first group of the names of a store of
// extentCount extents. A count below 1 is taken as 1.
int firstGroupShift(long long extentCount) {
    unsigned long long last =
        extentCount > 1 ? static_cast<unsigned long long>(extentCount - 1) : 0;
    unsigned long long mask = 0x7f;
    int shift = 0;
    while (last & ~mask) {
        shift += 7;
        mask = (mask << 7) | 0x7f;
    }
    return shift;
}

constexpr int kMaxExtentNameSize = 3 * 9 + 5;  // nine groups: any positive 64-bit count

}  // namespace

extern "C" int tqblk_bstore_make_extent_fname(long long extent, long long extentCount,
                                              char* buffer) {
    static const char kDigits[] = "0123456789abcdef";
    const int shift = firstGroupShift(extentCount);
    const int size = 3 * (shift / 7 + 1) + 5;
    if (!buffer)
        return size;
    std::memcpy(buffer, "data/", 5);
    char* out = buffer + 5;
    const unsigned long long number = static_cast<unsigned long long>(extent);
    for (int s = shift; s >= 0; s -= 7) {
        unsigned group = static_cast<unsigned>(number >> s) & 0x7f;
        *out++ = kDigits[group >> 4];
        *out++ = kDigits[group & 0xf];
        if (s != 0)
            *out++ = '/';
    }
    *out = '\0';
    return size;
}

extern "C" long long tqblk_bstore_parse_extent_fname(const char* name, long long extentCount) {
    if (std::strncmp(name, "data/", 5) != 0)
        return -1;
    const int groups = firstGroupShift(extentCount) / 7 + 1;
    unsigned accumulator = 0;  // only its low 7 bits matter, so overflow is harmless
    unsigned long long result = 0;
    int seen = 0;
    for (const char* p = name + 5;; ++p) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            accumulator = accumulator * 16 + static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            accumulator = accumulator * 16 + static_cast<unsigned>(c - 'a' + 10);
        } else if (c == '/' || c == '\0') {
            result = result * 128 + (accumulator & 0x7f);
            accumulator = 0;
            if (++seen > groups)
                return -1;
            if (c == '\0')
                return seen == groups ? static_cast<long long>(result) : -1;
        } else {
            return -1;
        }
    }
}

CZyError TqBlkBackingStore::getExtentFileName(long long extent, std::string* path) {
    if (extent < 0 || extent >= m_extentCount)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Extent %lld is out of legal range 0..%lld",
                                       extent, m_extentCount - 1);
    int nameLen = __atomic_load_n(&m_extentNameLen, __ATOMIC_RELAXED);
    if (nameLen <= 0) {
        nameLen = tqblk_bstore_make_extent_fname(0, m_extentCount, nullptr);
        __atomic_store_n(&m_extentNameLen, nameLen, __ATOMIC_RELAXED);
    }
    if (nameLen <= 0 || nameLen > kMaxExtentNameSize)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Couldn't compose name of extent file %lld",
                                       extent);
    char name[kMaxExtentNameSize];
    tqblk_bstore_make_extent_fname(extent, m_extentCount, name);
    path->assign(m_dir).append(1, '/').append(name, static_cast<size_t>(nameLen - 1));
    return CZyError::Success();
}

// ---------------------------------------------------------------------------------------
// Extent files
// ---------------------------------------------------------------------------------------

namespace {

// Temporary names carry four hexadecimal digits, so a store has 65,536 of them. Draws are
// random; this many collisions in a row means the directory is as good as full.
constexpr int kTempNameAttempts = 1024;
constexpr int kTempFileFlags = O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE;

int openRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void appendTempName(std::string* path) {
    char name[16];
    std::snprintf(name, sizeof name, "/temp%04x", static_cast<unsigned>(std::rand()) & 0xffffu);
    path->append(name);
}

// The standard stream mode that matches the access mode of open flags.
const char* streamModeFor(int flags) {
    switch (flags & O_ACCMODE) {
        case O_RDONLY:
            return "r";
        case O_WRONLY:
            return "w";
        default:
            return "r+";
    }
}

// Whether open flags may be used on a recall store: only reading, and nothing that would
// create or empty the extent's file.
bool readsOnly(int flags) {
    return (flags & O_ACCMODE) == O_RDONLY && (flags & (O_CREAT | O_TRUNC)) == 0;
}

// The outcome of one move-in attempt.
enum class MoveOutcome { kPlaced, kAlreadyThere };

// Renames source to target unless an extent already stands at target. Returns -1 with errno
// set when the rename failed.
int moveWithoutReplacing(const char* source, const char* target, MoveOutcome* outcome) {
    *outcome = MoveOutcome::kPlaced;
    if (::renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0)
        return 0;
    int e = errno;
    if (e != EEXIST && e != EINVAL && e != ENOSYS) {
        errno = e;
        return -1;
    }
    // EEXIST: an entry stands at the target. EINVAL or ENOSYS: the file system or kernel
    // cannot refuse to replace, so test first. An extent that can be reached stays; a soft
    // link that leads nowhere is no extent and gives way, as to a plain rename.
    if (CZyPath::Exists(target)) {
        *outcome = MoveOutcome::kAlreadyThere;
        return 0;
    }
    return ::rename(source, target);
}

}  // namespace

CZyError TqBlkBackingStore::checkExtentFile(long long extent, bool* exists) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't derive file name for extent %lld", extent);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        *exists = true;
        return CZyError::Success();
    }
    int e = errno;
    if (e != ENOENT)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't stat extent file %s for extent %lld",
                                       path.c_str(), extent);
    *exists = false;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::pruneExtentFile(long long extent) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't derive file name for extent %lld", extent);
    if (::unlink(path.c_str()) != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't remove extent file %s for extent %lld",
                                       path.c_str(), extent);
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openTempFile(std::string* path, int* fd) {
    const std::string tmpDir = m_dir + "/tmp";
    CZyError err = mkdir(tmpDir);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't create tmp directory for backup store %s",
                        m_uuid.c_str());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        path->assign(tmpDir);
        appendTempName(path);
        *fd = openRetrying(path->c_str(), kTempFileFlags, 0666);
        if (*fd >= 0)
            return CZyError::Success();
        int e = errno;
        if (e != EEXIST)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open temporary extent file %s",
                                           path->c_str());
    }
    return JQErrorUtil::ErrorErrNo(JQ_HERE, EEXIST,
                                   "Couldn't find a free temporary file name in %s after %d tries",
                                   tmpDir.c_str(), kTempNameAttempts);
}

CZyError TqBlkBackingStore::openTempFile(std::string* path, FILE** stream) {
    int raw = -1;
    CZyError err = openTempFile(path, &raw);
    if (err.IsError())
        return err.Push(JQ_HERE);
    UniqueFd fd(raw);
    FILE* file = ::fdopen(fd.get(), "w");
    if (!file) {
        int e = errno;
        fd.reset();
        ::unlink(path->c_str());
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't make a stream of temporary file %s",
                                       path->c_str());
    }
    fd.release();
    *stream = file;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openExtentFile(long long extent, int flags, int* fd) {
    if (m_type == TQBLK_STORE_RECALL && !readsOnly(flags))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EPERM,
                                       "Direct write access to recall store's extents is not "
                                       "permitted");
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(JQ_HERE);
    err = makeParentDir(path);
    if (err.IsError())
        return err.Push(JQ_HERE);
    *fd = openRetrying(path.c_str(), flags | O_LARGEFILE, 0666);
    if (*fd < 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open file %s for extent %lld",
                                       path.c_str(), extent);
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::openExtentFile(long long extent, int flags, FILE** stream) {
    int raw = -1;
    CZyError err = openExtentFile(extent, flags, &raw);
    if (err.IsError())
        return err.Push(JQ_HERE);
    UniqueFd fd(raw);
    FILE* file = ::fdopen(fd.get(), streamModeFor(flags));
    if (!file) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e,
                                       "Couldn't make a stream of the file of extent %lld", extent);
    }
    fd.release();
    *stream = file;
    return CZyError::Success();
}

namespace {

// moveInExtentFile's work, telling the caller whether the source was placed.
CZyError moveInExtent(TqBlkBackingStore* store, const char* source, long long extent,
                      MoveOutcome* outcome) {
    std::string target;
    CZyError err = store->getExtentFileName(extent, &target);
    if (!err.IsError())
        err = TqBlkBackingStore::makeParentDir(target);
    if (err.IsError())
        return err;
    if (moveWithoutReplacing(source, target.c_str(), outcome) != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't move %s to %s", source,
                                       target.c_str());
    }
    return CZyError::Success();
}

// Writes the last byte of a new extent file, which leaves a hole before it.
CZyError writeLastByte(int fd, int extentSize) {
    if (::lseek(fd, static_cast<off_t>(extentSize) - 1, SEEK_SET) < 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't create sparse extent file");
    }
    const char zero = 0;
    ssize_t n;
    do {
        n = ::write(fd, &zero, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        int e = n < 0 ? errno : EIO;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't create sparse extent file");
    }
    return CZyError::Success();
}

}  // namespace

CZyError TqBlkBackingStore::moveInExtentFile(const char* path, long long extent) {
    MoveOutcome outcome;
    CZyError err = moveInExtent(this, path, extent, &outcome);
    if (err.IsError())
        return err.Push(JQ_HERE);
    return CZyError::Success();
}

CZyError TqBlkBackingStore::createExtentWithNUL(long long extent) {
    std::string tempPath;
    int raw = -1;
    CZyError err = openTempFile(&tempPath, &raw);
    if (err.IsError())
        return err.Push(JQ_HERE);
    UniqueFd fd(raw);
    err = writeLastByte(fd.get(), m_extentSize);
    // The size must be on disk before the name is: after a power cut the rename may survive
    // while an unsynced size does not, leaving an empty file at the extent's path.
    if (!err.IsError() && ::fsync(fd.get()) != 0) {
        int e = errno;
        err = JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't sync sparse extent file %s",
                                      tempPath.c_str());
    }
    // A failed close may mean the byte never reached the file.
    if (!err.IsError() && ::close(fd.release()) != 0) {
        int e = errno;
        err = JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't create sparse extent file");
    }
    if (err.IsError()) {
        fd.reset();
        ::unlink(tempPath.c_str());
        return err;
    }
    MoveOutcome outcome;
    err = moveInExtent(this, tempPath.c_str(), extent, &outcome);
    if (err.IsError() || outcome == MoveOutcome::kAlreadyThere)
        ::unlink(tempPath.c_str());
    if (err.IsError())
        return err.Push(JQ_HERE);
    return CZyError::Success();
}

// ---------------------------------------------------------------------------------------
// Links between stores
// ---------------------------------------------------------------------------------------

namespace {

constexpr size_t kLinkTextSize = 8192;  // link texts are read up to 8191 bytes

// Reads the text of the soft link at path, cut to 8191 bytes. Returns its length, or -1 with
// errno set.
ssize_t readLinkText(const std::string& path, std::string* text) {
    char buffer[kLinkTextSize];
    ssize_t n = ::readlink(path.c_str(), buffer, kLinkTextSize - 1);
    if (n >= 0)
        text->assign(buffer, static_cast<size_t>(n));
    return n;
}

// Whether two paths name one file: the same device and inode, links not followed.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat stA, stB;
    return ::lstat(a.c_str(), &stA) == 0 && ::lstat(b.c_str(), &stB) == 0 &&
           stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}

}  // namespace

CZyError TqBlkBackingStore::checkExtentLink(long long extent, bool* exists, std::string* target) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't derive file name for extent %lld", extent);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        int e = errno;
        if (e != ENOENT)
            return JQErrorUtil::ErrorErrNo(
                JQ_HERE, e, "Couldn't stat extent file %s for extent %lld", path.c_str(), extent);
        *exists = false;
        return CZyError::Success();
    }
    *exists = true;
    if (!S_ISLNK(st.st_mode))
        return CZyError::Success();
    std::string text;
    if (readLinkText(path, &text) < 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "readlink failed for file %s extent %lld",
                                       path.c_str(), extent);
    }
    *target = text;
    return CZyError::Success();
}

CZyError TqBlkBackingStore::softLinkExtentFile(const std::string& target, long long extent) {
    std::string path;
    CZyError err = getExtentFileName(extent, &path);
    if (err.IsError())
        return err.Push(JQ_HERE);
    // Any entry counts, a link that leads nowhere too: it is compared and replaced like the
    // rest, so linking again always succeeds.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        err = makeParentDir(path);
        if (err.IsError())
            return err.Push(JQ_HERE);
    } else {
        std::string text;
        if (readLinkText(path, &text) > 0 && text == target)
            return CZyError::Success();
        if (::unlink(path.c_str()) != 0) {
            int e = errno;
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't delete %s", path.c_str());
        }
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        int e = errno;
        return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't create soft link %s to %s",
                                       path.c_str(), target.c_str());
    }
    return CZyError::Success();
}

CZyError TqBlkBackingStore::hardLinkExtentFile(TqBlkBackingStore* source, long long sourceExtent,
                                               long long destExtent) {
    if (!source)
        return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                       "NULL source backing store passed as input");
    if (destExtent == -1)
        destExtent = sourceExtent;
    if (m_deviceSize != source->m_deviceSize || m_extentSize != source->m_extentSize)
        return JQErrorUtil::ErrorErrNo(
            JQ_HERE, EINVAL,
            "Can't hard link extent file %lld from backing store %s: Store metrics do not match",
            sourceExtent, source->m_uuid.c_str());
    std::string sourcePath, destPath;
    CZyError err = source->getExtentFileName(sourceExtent, &sourcePath);
    if (!err.IsError())
        err = getExtentFileName(destExtent, &destPath);
    if (!err.IsError())
        err = makeParentDir(destPath);
    if (err.IsError())
        return err.Push(JQ_HERE);
    while (::link(sourcePath.c_str(), destPath.c_str()) != 0) {
        int e = errno;
        if (e != EEXIST)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't create hard link %s to %s",
                                           destPath.c_str(), sourcePath.c_str());
        // Both paths may name one file (an extent linked onto itself, or linked before):
        // removing the destination would then remove the extent's data.
        if (sameFile(sourcePath, destPath))
            return CZyError::Success();
        if (::unlink(destPath.c_str()) != 0) {
            e = errno;
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't delete %s", destPath.c_str());
        }
    }
    return CZyError::Success();
}

// ---------------------------------------------------------------------------------------
// Extent bitmap
// ---------------------------------------------------------------------------------------

namespace {

constexpr int kBitsPerChunk = 32768;

// Walks a store's data tree and sets the bit of every file named like an extent of the store.
class TqBlkBackingStoreScanner : public CTraverseFolder {
  public:
    TqBlkBackingStoreScanner(const std::string& dir, long long extentCount,
                             std::vector<std::vector<unsigned char> >* bitmap, int bitsPerChunk)
        : m_dir(dir),
          m_extentCount(extentCount),
          m_bitmap(bitmap),
          m_bitsPerChunk(bitsPerChunk),
          m_folderLevels(firstGroupShift(extentCount) / 7),
          m_chunkStates(new std::atomic<unsigned char>[bitmap->size()]()) {
        SetConcurrentHandlers(true);
        AddFolderToList(m_dir + "/data", "data");
    }

    // Only folders that may hold extents are entered: an extent's name has one folder level
    // per group but the last, so anything deeper holds none and may be arbitrarily deep.
    CZyError OnFolder(const std::string& fullPath, const std::string& relativePath,
                      JQFile::CFileData&) override {
        const long slashes = std::count(relativePath.begin(), relativePath.end(), '/');
        if (slashes <= m_folderLevels)
            AddFolderToList(fullPath, relativePath);
        return CZyError::Success();
    }

    CZyError OnFile(const std::string&, const std::string& relativePath,
                    JQFile::CFileData&) override {
        long long extent = tqblk_bstore_parse_extent_fname(relativePath.c_str(), m_extentCount);
        if (extent < 0)
            return CZyError::Success();
        const unsigned long long chunk = static_cast<unsigned long long>(extent) / m_bitsPerChunk;
        const unsigned position = static_cast<unsigned>(extent % m_bitsPerChunk);
        if (chunk >= m_bitmap->size())
            return CZyError::Success();
        // Threads walking other folders may set bits of the same byte.
        __atomic_fetch_or(chunkBits(static_cast<size_t>(chunk)) + position / 8,
                          static_cast<unsigned char>(1u << (position % 8)), __ATOMIC_RELAXED);
        return CZyError::Success();
    }

  private:
    enum : unsigned char { kChunkEmpty, kChunkMaking, kChunkReady };

    // A chunk's bits, given storage (zero-filled) by whichever thread needs them first.
    unsigned char* chunkBits(size_t chunk) {
        std::atomic<unsigned char>& state = m_chunkStates[chunk];
        for (;;) {
            unsigned char seen = state.load(std::memory_order_acquire);
            if (seen == kChunkReady)
                return (*m_bitmap)[chunk].data();
            if (seen == kChunkEmpty &&
                state.compare_exchange_strong(seen, kChunkMaking, std::memory_order_acquire)) {
                try {
                    (*m_bitmap)[chunk].resize(static_cast<size_t>(m_bitsPerChunk / 8), 0);
                } catch (...) {
                    state.store(kChunkEmpty, std::memory_order_release);
                    throw;
                }
                state.store(kChunkReady, std::memory_order_release);
                return (*m_bitmap)[chunk].data();
            }
            std::this_thread::yield();  // another thread is making it
        }
    }

    std::string m_dir;
    long long m_extentCount;
    std::vector<std::vector<unsigned char> >* m_bitmap;
    int m_bitsPerChunk;
    long m_folderLevels;  // folder levels below "data" in the names of this store's extents
    std::unique_ptr<std::atomic<unsigned char>[]> m_chunkStates;  // one per chunk
};

}  // namespace

CZyError TqBlkBackingStore::getExtentBitmap(std::vector<std::vector<unsigned char> >* bitmap,
                                            int* count) {
    *count = kBitsPerChunk;
    const long long chunks = (m_extentCount + kBitsPerChunk - 1) / kBitsPerChunk;
    if (chunks > INT_MAX)
        return JQErrorUtil::ErrorErrNo(
            JQ_HERE, EINVAL, "Extent count %lld is too large for a bitmap", m_extentCount);
    CZyError err;
    try {
        bitmap->clear();
        bitmap->resize(static_cast<size_t>(chunks));
        TqBlkBackingStoreScanner scanner(m_dir, m_extentCount, bitmap, kBitsPerChunk);
        err = scanner.Traverse();
    } catch (const std::bad_alloc&) {
        return JQErrorUtil::ErrorErrNo(JQ_HERE, ENOMEM, "Couldn't allocate the extent bitmap");
    }
    if (err.IsError())
        return err.Push(JQ_HERE, "Couldn't scan backing store's directory %s", m_dir.c_str());
    return CZyError::Success();
}
