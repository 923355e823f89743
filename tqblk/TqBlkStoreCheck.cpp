// The store checker: a store checked like fsck, its top directory, config and tmp here, its
// data tree in TqBlkStoreCheckTree.cpp.

#include "StoreCheckInternal.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreLock.h>

#include <tqsys/DirEntries.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <unistd.h>

using tqsys::UniqueFd;

namespace tqblk::check {

namespace {

constexpr size_t kDirBufferSize = 32 * 1024;
// What the config writer names its temporary file before renaming it into place.
constexpr char kConfigTempPrefix[] = "config.tmp.";

UniqueFd openDirAt(int dirFd, const char* name) {
    return tqsys::OpenAtRetrying(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

// One run of the checker over one store directory.
class StoreChecker {
  public:
    StoreChecker(const char* dir, const TqBlkStoreCheckOptions& options,
                 TqBlkStoreCheckReport* report)
        : m_dir(dir), m_options(options), m_report(report), m_sink(report, options.maxFindings) {}

    CZyError run() {
        CZyError err = openStoreDir();
        if (!err.IsError())
            err = refusePrivatePrune();
        if (!err.IsError() && !m_options.verifyAgainst.empty()) {
            // Opened once up front so that a bad source fails before anything is removed.
            std::unique_ptr<VerifySource> probe;
            err = openVerifySource(m_options.verifyAgainst, &probe);
        }
        if (!err.IsError())
            err = takeLock();
        bool walkData = false;
        if (!err.IsError())
            err = checkStoreDir(&walkData);
        if (!err.IsError() && walkData) {
            TreeCheck tree{m_options, m_dir, m_geometry, m_data};
            tree.prune = m_options.pruneDamagedExtents && m_lock.isLocked() && m_configSound;
            tree.mismatchIsDamage =
                m_options.storeKind != TQBLK_CHECK_STORE_PRIVATE || m_options.allowPrivatePrune;
            std::unique_ptr<Verifier> verifier;
            if (!m_options.verifyAgainst.empty())
                verifier.reset(new Verifier(m_options.verifyAgainst, m_geometry.extentSize,
                                            m_geometry.deviceSize));
            tree.verifier = verifier.get();
            err = checkDataTree(tree, &m_sink);
        }
        m_sink.finish();
        return err;
    }

  private:
    CZyError openStoreDir() {
        if (m_dir == nullptr || *m_dir == '\0')
            return JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL,
                                           "NULL or empty directory passed as input");
        m_storeFd = tqsys::OpenRetrying(m_dir, O_RDONLY | O_DIRECTORY);
        if (!m_storeFd.valid() || ::fstat(m_storeFd.get(), &m_store) != 0)
            return JQErrorUtil::ErrorErrNo(JQ_HERE, errno,
                                           "Couldn't open backing store directory %s", m_dir);
        return CZyError::Success();
    }

    // The config does not tell a private store from a recall store. A private store's
    // extents are the device's data: pruning one loses it, and they differ from any base by
    // design, so a prune by the verify source needs the store known to be a recall store.
    CZyError refusePrivatePrune() const {
        if (!m_options.pruneDamagedExtents || m_options.allowPrivatePrune)
            return CZyError::Success();
        if (m_options.storeKind == TQBLK_CHECK_STORE_PRIVATE)
            return JQErrorUtil::ErrorErrNo(
                JQ_HERE, EPERM,
                "Won't prune extents of the private store %s: their data would "
                "be lost (allow it explicitly to prune all the same)",
                m_dir);
        if (!m_options.verifyAgainst.empty() && m_options.storeKind != TQBLK_CHECK_STORE_RECALL)
            return JQErrorUtil::ErrorErrNo(
                JQ_HERE, EPERM,
                "Won't prune extents of %s that differ from %s: the store may be a private "
                "store, whose extents differ from their base by design (name it a recall store, "
                "or allow pruning a private store explicitly)",
                m_dir, m_options.verifyAgainst.c_str());
        return CZyError::Success();
    }

    // Removals need the lock; a plain check only probes it, so that a service is not kept
    // from starting while the walk runs.
    CZyError takeLock() {
        const bool removing = m_options.repair || m_options.pruneDamagedExtents;
        CZyError err = m_lock.lock(m_dir, false);
        if (err.IsError() && isResourceErrno(err.GetErrNo()))
            return err.Push(JQ_HERE);
        if (err.IsError() && err.GetErrNo() != EWOULDBLOCK)
            return removing ? err.Push(JQ_HERE) : CZyError::Success();
        m_report->lockedByOther = err.IsError();
        if (!removing)
            m_lock.unlock();
        return CZyError::Success();
    }

    CZyError checkStoreDir(bool* walkData) {
        std::unique_ptr<char[]> buffer(new char[kDirBufferSize]);
        tqsys::DirEntryReader reader(m_storeFd.get(), buffer.get(), kDirBufferSize);
        const tqsys::LinuxDirent64* entry = nullptr;
        unsigned char dataType = DT_UNKNOWN, tmpType = DT_UNKNOWN;
        bool haveData = false, haveTmp = false;
        int r;
        CZyError err;
        while (!err.IsError() && (r = reader.next(&entry)) > 0) {
            const char* name = entry->d_name;
            if (std::strcmp(name, "data") == 0) {
                haveData = true;
                dataType = entry->d_type;
            } else if (std::strcmp(name, "tmp") == 0) {
                haveTmp = true;
                tmpType = entry->d_type;
            } else if (std::strcmp(name, "config") != 0) {
                err = checkStrayTopEntry(name, entry->d_type);
            }
        }
        if (!err.IsError() && r < 0)
            err = JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read backing store directory %s",
                                          m_dir);
        bool configOk = false;
        if (!err.IsError())
            err = checkConfig(&configOk);
        if (!err.IsError() && haveTmp)
            err = checkTmp(tmpType);
        if (!err.IsError() && haveData && configOk)
            err = checkDataDir(dataType, walkData);
        return err;
    }

    CZyError checkStrayTopEntry(const char* name, unsigned char type) {
        type = resolveType(m_storeFd.get(), name, type);
        if (std::strncmp(name, kConfigTempPrefix, sizeof kConfigTempPrefix - 1) == 0 &&
            type != DT_DIR)
            return checkTempFile(m_storeFd.get(), true, name, name, type);
        m_sink.add(Finding::TQBLK_FINDING_UNKNOWN_ENTRY, name,
                   std::string("unexpected ") + typeWord(type) + " in the store directory");
        return CZyError::Success();
    }

    // The config read strictly, and as the library reads it: the store is walked when both
    // agree, and pruned only when neither found fault with it.
    CZyError checkConfig(bool* ok) {
        std::string problem;
        bool readable = false;
        CZyError err = readConfigStrictly(m_storeFd.get(), &m_geometry, &problem, &readable);
        if (err.IsError())
            return err.Push(JQ_HERE);
        if (readable) {
            TqBlkBackingStore store(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
            err = store.openStore(m_dir);
            if (err.IsError() && isResourceErrno(err.GetErrNo()))
                return err.Push(JQ_HERE);
            if (err.IsError())
                problem =
                    err.GetMessages().empty() ? "refused by the reader" : err.GetMessages().front();
            else if (problem.empty() && (store.getDeviceSize() != m_geometry.deviceSize ||
                                         store.getExtentSize() != m_geometry.extentSize))
                problem = "the library reads other sizes from it";
        }
        if (!problem.empty()) {
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config", problem);
            return CZyError::Success();
        }
        m_report->extentCount = m_geometry.extentCount;
        m_configSound = true;
        *ok = true;
        if (m_geometry.deviceSize < m_geometry.extentSize)
            m_sink.add(Finding::TQBLK_FINDING_BAD_CONFIG, "config",
                       "device size " + std::to_string(m_geometry.deviceSize) +
                           " is smaller than one extent of " +
                           std::to_string(m_geometry.extentSize));
        return CZyError::Success();
    }

    CZyError checkTmp(unsigned char type) {
        type = resolveType(m_storeFd.get(), "tmp", type);
        if (type != DT_DIR) {
            m_sink.add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, "tmp",
                       misplaced(type, "a directory"));
            return CZyError::Success();
        }
        UniqueFd fd(openDirAt(m_storeFd.get(), "tmp"));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            return m_sink.unreadable("tmp", errno);
        const bool sameMount = st.st_dev == m_store.st_dev;
        std::unique_ptr<char[]> buffer(new char[kDirBufferSize]);
        tqsys::DirEntryReader reader(fd.get(), buffer.get(), kDirBufferSize);
        const tqsys::LinuxDirent64* entry = nullptr;
        int r;
        while ((r = reader.next(&entry)) > 0) {
            const std::string path = std::string("tmp/") + entry->d_name;
            const unsigned char entryType = resolveType(fd.get(), entry->d_name, entry->d_type);
            if (entryType == DT_DIR) {
                m_sink.add(Finding::TQBLK_FINDING_UNKNOWN_ENTRY, path, "a directory inside tmp");
                continue;
            }
            CZyError err = checkTempFile(fd.get(), sameMount, entry->d_name, path, entryType);
            if (err.IsError())
                return err;
        }
        return r < 0 ? m_sink.unreadable("tmp", -r) : CZyError::Success();
    }

    // A temporary file is a leftover once nothing changed it for tempFileMinAge: a device
    // writes a private store's extents through tmp without the store's lock, so a younger
    // one may be a write in flight. Nothing is removed across a mount (sameMount false).
    CZyError checkTempFile(int dirFd, bool sameMount, const char* name, const std::string& path,
                           unsigned char type) {
        struct stat st;
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? CZyError::Success() : m_sink.unreadable(path, errno);
        const time_t changed = std::max(st.st_mtime, st.st_ctime);
        const long long age = static_cast<long long>(std::time(nullptr) - changed);
        if (age < m_options.tempFileMinAge) {
            m_sink.add(Finding::TQBLK_FINDING_TEMP_IN_USE, path,
                       std::string("temporary ") + typeWord(type) + " changed " +
                           std::to_string(age < 0 ? 0 : age) + " s ago, may be in use");
            return CZyError::Success();
        }
        const bool removed =
            m_options.repair && m_lock.isLocked() && sameMount && ::unlinkat(dirFd, name, 0) == 0;
        m_sink.add(Finding::TQBLK_FINDING_TEMP_FILE, path,
                   std::string("leftover temporary ") + typeWord(type), removed);
        return CZyError::Success();
    }

    CZyError checkDataDir(unsigned char type, bool* walk) {
        if (::fstatat(m_storeFd.get(), "data", &m_data, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? CZyError::Success() : m_sink.unreadable("data", errno);
        type = typeOfMode(m_data.st_mode);
        if (type == DT_DIR) {
            *walk = true;
            return CZyError::Success();
        }
        m_sink.add(Finding::TQBLK_FINDING_NOT_A_DIRECTORY, "data", misplaced(type, "a directory"));
        return CZyError::Success();
    }

    const char* m_dir;
    const TqBlkStoreCheckOptions& m_options;
    TqBlkStoreCheckReport* m_report;
    FindingSink m_sink;
    UniqueFd m_storeFd;
    struct stat m_store {};
    struct stat m_data {};
    TqBlkStoreLock m_lock;
    Geometry m_geometry;
    bool m_configSound = false;
};

}  // namespace

bool isResourceErrno(int errnoValue) {
    return errnoValue == EMFILE || errnoValue == ENFILE || errnoValue == ENOMEM ||
           errnoValue == ENOBUFS;
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

unsigned char resolveType(int fd, const char* name, unsigned char type) {
    struct stat st;
    if (type != DT_UNKNOWN || ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return type;
    return typeOfMode(st.st_mode);
}

std::string misplaced(unsigned char type, const char* belongs) {
    return std::string("a ") + typeWord(type) + " where " + belongs + " belongs";
}

void FindingSink::add(Finding::Kind kind, const std::string& path, const std::string& detail,
                      bool repaired) {
    Finding finding{kind, path, detail, repaired};
    std::lock_guard<std::mutex> lock(m_mutex);
    if (finding.isProblem()) {
        ++m_report->problems;
        m_report->repaired += repaired ? 1 : 0;
    }
    if (m_report->findings.size() >= m_maxFindings)
        ++m_report->findingsDropped;
    else
        m_report->findings.push_back(std::move(finding));
}

CZyError FindingSink::unreadable(const std::string& path, int errnoValue) {
    if (isResourceErrno(errnoValue))
        return JQErrorUtil::ErrorErrNo(JQ_HERE, errnoValue, "Couldn't examine %s", path.c_str());
    char text[256];
    add(Finding::TQBLK_FINDING_UNREADABLE, path,
        std::string("couldn't examine it: ") + ::strerror_r(errnoValue, text, sizeof text));
    return CZyError::Success();
}

}  // namespace tqblk::check

using tqblk::check::Finding;

const char* tqblk_store_finding_name(TqBlkStoreFinding::Kind kind) {
    static const char* const kNames[] = {
        "bad-config", "unknown-entry",   "not-a-directory", "bad-name",   "out-of-range",
        "wrong-size", "wrong-type",      "dangling-link",   "unreadable", "temp-file",
        "mismatch",   "empty-directory", "temp-in-use",     "changed",
    };
    const size_t index = static_cast<size_t>(kind);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "unknown";
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
        tqblk::check::StoreChecker checker(dir, options, report);
        CZyError err = checker.run();
        if (err.IsError())
            return err.Push(JQ_HERE, "Couldn't check backing store %s", dir ? dir : "(null)");
        return CZyError::Success();
    } catch (const std::bad_alloc&) {
        return JQErrorUtil::ErrorErrNo(JQ_HERE, ENOMEM, "Couldn't check backing store %s",
                                       dir ? dir : "(null)");
    }
}
