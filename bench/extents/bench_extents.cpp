// Helpers for timing the extent bitmap scan and store clearing side by side with find and
// rm -rf (compare.sh runs them). Each command is one process, like the tools it is compared
// with:
//   bench_extents populate <dir> <files> <extent count>   make a store holding <files> extents
//   bench_extents scan <dir>                              getExtentBitmap; prints present
//                                                         extents and peak memory
//   bench_extents floor <dir>                             count files with bare getdents64
//   bench_extents statfloor <dir>                         the same, with one fstatat per file
//   bench_extents clear <dir>                             clear the store
//   bench_extents threads                                 threads a walk takes here
#include <tqblk/TqBlkBackingStore.h>
#include <zyutils/TraverseFolder.h>

#include <tqsys/DirEntries.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int fail(const char* what, const CZyError& err) {
    std::fprintf(stderr, "%s failed:\n%s\n", what, err.GetDescription().c_str());
    return 1;
}

std::unique_ptr<TqBlkPrivateStore> openStore(const char* dir) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(TqBlkPrivateStore::open(dir, &err));
    if (!store)
        fail("Opening the store", err);
    return store;
}

long peakRssKiB() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Extent number i of a spread of present extents: multiplying by an odd number is a
// bijection modulo a power of two, so distinct i give distinct extents all over the tree.
long long spreadExtent(long long i, long long extentCount) {
    return static_cast<long long>((static_cast<unsigned long long>(i) * 0x9E3779B1ull) %
                                  static_cast<unsigned long long>(extentCount));
}

// Creates the files directly rather than through a temporary file each: only the tree
// matters to the scan and to clearing.
int populate(const char* dir, long long files, long long extentCount) {
    if ((extentCount & (extentCount - 1)) != 0 || files > extentCount) {
        std::fprintf(stderr, "the extent count must be a power of two of at least <files>\n");
        return 1;
    }
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(
        TqBlkPrivateStore::create(dir, "bench", extentCount * 4096, 4096, &err));
    if (!store)
        return fail("Creating the store", err);
    std::string path;
    for (long long i = 0; i < files; ++i) {
        err = store->getExtentFileName(spreadExtent(i, extentCount), &path);
        if (err.IsError())
            return fail("Naming an extent", err);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == ENOENT) {
            err = TqBlkBackingStore::makeParentDir(path);
            if (err.IsError())
                return fail("Making directories", err);
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        }
        if (fd < 0) {
            std::perror(path.c_str());
            return 1;
        }
        ::close(fd);
    }
    return 0;
}

int scan(const char* dir) {
    std::unique_ptr<TqBlkPrivateStore> store = openStore(dir);
    if (!store)
        return 1;
    const long baseRss = peakRssKiB();
    std::vector<std::vector<unsigned char> > bitmap;
    int count = 0;
    CZyError err = store->getExtentBitmap(&bitmap, &count);
    if (err.IsError())
        return fail("Scanning", err);
    long long present = 0;
    for (const auto& chunk : bitmap)
        for (unsigned char byte : chunk)
            present += __builtin_popcount(byte);
    std::printf("present=%lld peak_rss_kib=%ld rss_before_scan_kib=%ld\n", present, peakRssKiB(),
                baseRss);
    return 0;
}

// The floor: read every directory with getdents64 and count regular files, nothing else.
// With withStat, each file is also looked at with one fstatat, as any check of its size must
// (the stat floor). Takes over fd.
long long countFiles(tqsys::UniqueFd fd, bool withStat) {
    char buffer[32 * 1024];
    tqsys::DirEntryReader reader(fd.get(), buffer, sizeof buffer);
    const tqsys::LinuxDirent64* entry = nullptr;
    long long files = 0;
    struct stat st;
    while (reader.next(&entry) > 0) {
        if (entry->d_type == DT_REG)
            files += !withStat || ::fstatat(fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        else if (entry->d_type == DT_DIR)
            files += countFiles(
                tqsys::OpenAtRetrying(fd.get(), entry->d_name, O_RDONLY | O_DIRECTORY), withStat);
    }
    return files;
}

int floorWalk(const char* dir, bool withStat) {
    tqsys::UniqueFd fd = tqsys::OpenRetrying(dir, O_RDONLY | O_DIRECTORY);
    if (!fd.valid()) {
        std::perror(dir);
        return 1;
    }
    std::printf("files=%lld\n", countFiles(std::move(fd), withStat));
    return 0;
}

int clear(const char* dir) {
    std::unique_ptr<TqBlkPrivateStore> store = openStore(dir);
    if (!store)
        return 1;
    CZyError err = store->clear();
    return err.IsError() ? fail("Clearing", err) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "populate" && argc == 5)
        return populate(argv[2], std::atoll(argv[3]), std::atoll(argv[4]));
    if (command == "scan" && argc == 3)
        return scan(argv[2]);
    if (command == "floor" && argc == 3)
        return floorWalk(argv[2], false);
    if (command == "statfloor" && argc == 3)
        return floorWalk(argv[2], true);
    if (command == "clear" && argc == 3)
        return clear(argv[2]);
    if (command == "threads" && argc == 2) {
        std::printf("%zu\n", CTraverseFolder::DefaultThreadCount());
        return 0;
    }
    std::fprintf(stderr,
                 "usage: %s populate <dir> <files> <extent count> | scan <dir> | floor <dir> | "
                 "statfloor <dir> | clear <dir> | threads\n",
                 argv[0]);
    return 2;
}
