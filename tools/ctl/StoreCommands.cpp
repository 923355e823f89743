// Store commands: create-store, remove-store, clear-store, bitmap.

#include "Commands.h"
#include "ErrorText.h"
#include "ExtentRanges.h"

#include <tqblk/TqBlkStoreLock.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace ctl {

namespace {

// The entries of a directory, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> entriesOf(const std::string& dir, int* error) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    *error = d ? 0 : errno;
    if (!d)
        return names;
    while (const dirent* entry = ::readdir(d.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A few names of what a directory holds, for a refusal.
std::string someEntries(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i)
        text += (i ? ", " : "") + printable(names[i]);
    if (names.size() > 3)
        text += ", ...";
    return text;
}

// Why create-store must not touch dir, or an empty text when it may.
std::string createRefusal(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return "";  // made anew
    if (!S_ISDIR(st.st_mode))
        return dir + " exists and is not a directory";
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir.c_str(), &err));
    if (store)
        return dir + " is already a store (UUID " + store->m_uuid + ", device size " +
               std::to_string(store->getDeviceSize()) + ", extent size " +
               std::to_string(store->getExtentSize()) + "); --force replaces it";
    int error = 0;
    std::vector<std::string> names = entriesOf(dir, &error);
    if (error != 0)
        return "Couldn't list " + dir + ": " + tqtools::errnoText(error);
    if (!names.empty())
        return dir + " is not empty and not a store: it holds " + std::to_string(names.size()) +
               " entries (" + someEntries(names) + "); --force empties it";
    return "";
}

}  // namespace

int createStore(const CreateStoreArgs& a) {
    if (!a.force) {
        std::string refusal = createRefusal(a.dir);
        if (!refusal.empty()) {
            std::fprintf(stderr, "tqblk-ctl: create-store: refused: %s\n", refusal.c_str());
            return kExitFailed;
        }
    }
    // What stands there is emptied, but not while another process (a recall service, a
    // repair) holds the store's lock: none waits, and none removes from a store in use.
    TqBlkStoreLock lock;
    struct stat st;
    if (::stat(a.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        report(lock.lock(a.dir.c_str(), false), "create-store"))
        return kExitFailed;
    CZyError err;
    int extentSize = static_cast<int>(a.extentSize);
    std::unique_ptr<TqBlkBackingStore> store(
        a.kind == "private" ? static_cast<TqBlkBackingStore*>(TqBlkPrivateStore::create(
                                  a.dir.c_str(), a.uuid.c_str(), a.deviceSize, extentSize, &err))
                            : TqBlkRecallStore::create(a.dir.c_str(), a.uuid.c_str(), a.deviceSize,
                                                       extentSize, &err));
    return report(err, "create-store");
}

namespace {

// Runs op on the store at dir once it is proven a store (its config reads) and its lock is
// held, taken without waiting: nothing is removed from a store another process uses.
int onLockedStore(const std::string& dir, const std::string& what,
                  const std::function<CZyError(TqBlkPrivateStore&)>& op) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(TqBlkPrivateStore::open(dir.c_str(), &err));
    TqBlkStoreLock lock;
    if (store)
        err = lock.lock(dir.c_str(), false);
    if (!err.IsError())
        err = op(*store);
    return report(err, what);
}

}  // namespace

int removeStore(const std::string& dir) {
    // A link is refused before anything is looked at, let alone locked or removed.
    struct stat st;
    if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return report(TqBlkBackingStore::remove(dir.c_str()), "remove-store");
    return onLockedStore(dir, "remove-store", [&](TqBlkPrivateStore&) {
        return TqBlkBackingStore::remove(dir.c_str());
    });
}

int clearStore(const std::string& dir) {
    return onLockedStore(dir, "clear-store",
                         [](TqBlkPrivateStore& store) { return store.clear(); });
}

CZyError presenceOf(const std::string& dir, std::unique_ptr<TqBlkRecallStore>* opened,
                    Presence* out) {
    CZyError err;
    opened->reset(TqBlkRecallStore::open(dir.c_str(), &err));
    if (!*opened)
        return err;
    return tqtools::countPresent(**opened, out);
}

// Prints the extents present as counts per chunk and, in JSON, as runs [first, last]. Only
// chunks and runs holding extents are printed and nothing is held per extent or per empty
// chunk, so a large store with few extents prints little.
int bitmap(const std::string& dir, bool json) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir.c_str(), &err));
    tqtools::ExtentBitmap chunks;
    int perChunk = 0;
    if (store)
        err = store->getPresentChunks(&chunks, &perChunk);
    if (report(err, "bitmap"))
        return kExitFailed;
    // The chunks holding extents, with their counts; runs may cross chunk boundaries.
    std::vector<std::pair<long long, long long> > counts;
    long long present = 0;
    tqtools::forEachPresentRange(
        chunks, perChunk, store->m_extentCount, [&](long long first, long long last) {
            present += last - first + 1;
            for (long long at = first; at <= last;) {
                const long long chunk = at / perChunk;
                const long long end = std::min(last, (chunk + 1) * perChunk - 1);
                if (counts.empty() || counts.back().first != chunk)
                    counts.emplace_back(chunk, 0);
                counts.back().second += end - at + 1;
                at = end + 1;
            }
        });
    if (!json) {
        std::printf(
            "%lld of %lld extents present (%lld chunks of %d)\n", present, store->m_extentCount,
            perChunk > 0 ? (store->m_extentCount + perChunk - 1) / perChunk : 0LL, perChunk);
        for (const auto& chunk : counts)
            std::printf("  chunk %lld: %lld\n", chunk.first, chunk.second);
        return kExitDone;
    }
    std::printf(
        "{\"store\":%s,\"extent_count\":%lld,\"extents_present\":%lld,"
        "\"extents_per_chunk\":%d,\"chunks\":[",
        jsonString(dir).c_str(), store->m_extentCount, present, perChunk);
    for (size_t i = 0; i < counts.size(); ++i)
        std::printf("%s{\"chunk\":%lld,\"present\":%lld}", i ? "," : "", counts[i].first,
                    counts[i].second);
    std::printf("],\"present\":[");
    const char* comma = "";
    tqtools::forEachPresentRange(chunks, perChunk, store->m_extentCount,
                                 [&](long long first, long long last) {
                                     std::printf("%s[%lld,%lld]", comma, first, last);
                                     comma = ",";
                                 });
    std::printf("]}\n");
    return kExitDone;
}

}  // namespace ctl
