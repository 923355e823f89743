#ifndef TQBLK_TQBLKSTORECHECK_H
#define TQBLK_TQBLKSTORECHECK_H

#include <tqblk/TqBlkExport.h>
#include <zyutils/ZyError.h>

#include <string>
#include <vector>

// One thing the store checker found. path is relative to the store directory ("config",
// "data/00/1f", "tmp/temp01ab", "junk"); detail says what is wrong in words.
struct TQBLK_EXPORT TqBlkStoreFinding {
    enum Kind {
        TQBLK_FINDING_BAD_CONFIG,       // config missing, not a file, refused by the reader,
                                        // or a device smaller than one extent
        TQBLK_FINDING_UNKNOWN_ENTRY,    // store directory entry other than config, data, tmp;
                                        // or a directory inside tmp
        TQBLK_FINDING_NOT_A_DIRECTORY,  // data, tmp or a tree level that is not a directory
        TQBLK_FINDING_BAD_NAME,         // data tree entry whose name is no extent name there
        TQBLK_FINDING_OUT_OF_RANGE,     // extent name (or directory) past the extent count
        TQBLK_FINDING_WRONG_SIZE,       // extent file not exactly the extent size
        TQBLK_FINDING_WRONG_TYPE,       // extent that is a directory, FIFO, socket, device, or
                                        // a link to one of those
        TQBLK_FINDING_DANGLING_LINK,    // soft link whose target is missing (or loops)
        TQBLK_FINDING_UNREADABLE,       // entry that could not be examined (EACCES, EIO, ...)
        TQBLK_FINDING_TEMP_FILE,        // leftover temporary file in tmp
        TQBLK_FINDING_MISMATCH,         // extent bytes differ from the verify source
        TQBLK_FINDING_EMPTY_DIRECTORY,  // informational only: prunes leave these behind
        TQBLK_FINDING_TEMP_IN_USE,      // informational only: a temporary file younger than
                                        // tempFileMinAge, which a live writer may be using
        TQBLK_FINDING_CHANGED,          // informational only: an extent of a private store
                                        // that differs from the verify source (its base)
    };

    Kind kind;
    std::string path;
    std::string detail;
    bool repaired = false;

    // False only for informational findings, which never make a store dirty.
    bool isProblem() const {
        return kind != TQBLK_FINDING_EMPTY_DIRECTORY && kind != TQBLK_FINDING_TEMP_IN_USE &&
               kind != TQBLK_FINDING_CHANGED;
    }
};

// The short name of a finding kind as the command line shows it: "bad-config",
// "unknown-entry", "not-a-directory", "bad-name", "out-of-range", "wrong-size", "wrong-type",
// "dangling-link", "unreadable", "temp-file", "mismatch", "empty-directory", "temp-in-use",
// "changed".
TQBLK_EXPORT const char* tqblk_store_finding_name(TqBlkStoreFinding::Kind kind);

// What the caller knows of the store: the config does not record whether a store is a
// device's private store or a recall store.
enum TqBlkCheckStoreKind {
    TQBLK_CHECK_STORE_UNKNOWN,  // may be either
    TQBLK_CHECK_STORE_PRIVATE,  // a device's own, written extents: nothing recalls them again
    TQBLK_CHECK_STORE_RECALL,   // extents recalled from elsewhere, which may be recalled again
};

struct TqBlkStoreCheckOptions {
    // Remove leftover temporary files from tmp (and config.tmp.* files beside the config).
    // Needs the store's TqBlkStoreLock, taken without waiting; when another holder has it
    // nothing at all is removed. A temporary file younger than tempFileMinAge is never
    // removed: a device writes a private store's extents through tmp and holds no lock.
    bool repair = false;
    // Also remove extent files of the wrong size or type (not directories), dangling links and,
    // with verifyAgainst, extents whose bytes differ from the source, under the same lock.
    // Meant for recall stores, whose extents are recalled again; in a private store a pruned
    // extent's data is lost, so the check refuses to run (EPERM) when it would prune a store
    // of kind TQBLK_CHECK_STORE_PRIVATE, or prune by verifyAgainst in a store not known to be
    // a recall store, unless allowPrivatePrune is set. Off by default.
    bool pruneDamagedExtents = false;
    // The store's kind. In a private store an extent that differs from verifyAgainst is a
    // TQBLK_FINDING_CHANGED (the device wrote it), not a mismatch, unless allowPrivatePrune.
    TqBlkCheckStoreKind storeKind = TQBLK_CHECK_STORE_UNKNOWN;
    // Prune a private store (or one of unknown kind by verifyAgainst) all the same; its
    // mismatches are then damage, pruned like a recall store's.
    bool allowPrivatePrune = false;
    // Seconds since a temporary file last changed (its mtime or ctime, the later) below which
    // it counts as in use: reported as TQBLK_FINDING_TEMP_IN_USE and never removed.
    long long tempFileMinAge = 15 * 60;
    // An image file or block device holding the device's bytes from offset 0 (bytes past
    // its end count as zeros), or another store directory (an absent extent reads as zeros).
    // Every sound extent is compared with it byte for byte, up to the device's end; a last
    // extent cut short there counts the missing bytes as zeros. Empty: no comparison.
    std::string verifyAgainst;
    // At most this many findings are kept in the report; the rest are only counted.
    size_t maxFindings = 10000;
    // Threads that walk the data tree (findings then come in no fixed order). 0, the default,
    // takes the folder walk's count: TQBLK_THREADS when set, else a few per processor, fewer
    // when the descriptor limit would not allow them their folders. 1 walks on the caller's
    // thread alone. The folder walk's cap (8) and the descriptor limit bound any count.
    unsigned threads = 0;
};

struct TQBLK_EXPORT TqBlkStoreCheckReport {
    std::vector<TqBlkStoreFinding> findings;  // in the order found, at most maxFindings
    long long findingsDropped = 0;            // findings past maxFindings, not kept
    long long extentsPresent = 0;             // sound extent files: right name, type and size
    long long extentCount = 0;                // from the config; 0 when it could not be read
    long long problems = 0;                   // problem findings, dropped ones included
    long long repaired = 0;                   // problems that a repair removed
    // The store's lock was held by another process. With a repair asked for, nothing was
    // removed; without one the lock was only probed, so temporary files may be in use.
    bool lockedByOther = false;

    // As fsck: 0 no problems, 1 problems found and all repaired, 4 problems left.
    int exitCode() const;
};

// Checks the store in dir: its config, every entry of its data tree (names, depth, range,
// type and size of each extent file, soft links followed once), stray entries, temporary
// files left in tmp, and with options.verifyAgainst the bytes of every sound extent. Never
// follows links out of the tree and never descends deeper than the store's name depth.
// *report is reset first and then filled. Problems with the store are findings, not errors:
// the result is an error only when the check could not run (dir missing, not a directory,
// unreadable; or the verify source could not be opened), and *report then holds what was
// found before. The check's own failures are errors too, never findings: running out of
// descriptors (EMFILE, ENFILE) or memory (ENOMEM) anywhere ends it with that errno. The last
// extent of a device whose size is no multiple of the extent size is sound at the full extent
// size or cut at the device's end. The config is read strictly: a number with trailing
// characters or out of range is a bad-config finding, and then nothing is pruned.
TQBLK_EXPORT CZyError tqblk_check_store(const char* dir, const TqBlkStoreCheckOptions& options,
                                        TqBlkStoreCheckReport* report);

#endif
