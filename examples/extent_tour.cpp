// A tour of extent files: write an extent through a temporary file and move it in, create a
// sparse extent, link extents between stores, and summarise a store's extent bitmap.
//
// Build against an installed library with find_package(tqblk) and target tqblk::tqblk.
#include <tqblk/TqBlkBackingStore.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool check(const CZyError& err, const char* what) {
    if (!err.IsError())
        return true;
    std::cerr << what << " failed:\n" << err.GetDescription() << "\n";
    return false;
}

// How a caller brings an extent into a store: write it to a temporary file, then move it
// in. The extent's path shows a file only once it is complete.
bool writeExtent(TqBlkBackingStore& store, long long extent, char fill) {
    std::string tempPath;
    FILE* stream = nullptr;
    if (!check(store.openTempFile(&tempPath, &stream), "Opening a temporary file"))
        return false;
    std::vector<char> data(static_cast<size_t>(store.getExtentSize()), fill);
    bool written = std::fwrite(data.data(), 1, data.size(), stream) == data.size();
    written = std::fclose(stream) == 0 && written;
    if (!written || !check(store.moveInExtentFile(tempPath.c_str(), extent), "Moving in")) {
        ::unlink(tempPath.c_str());  // the temporary file stays ours until it is moved in
        return false;
    }
    // Had the extent been there already, the move-in would have left our file in place and
    // ours to remove. (This tour is the only writer, so the test cannot race.)
    if (::access(tempPath.c_str(), F_OK) == 0)
        ::unlink(tempPath.c_str());
    return true;
}

void describe(TqBlkBackingStore& store, long long extent) {
    bool exists = false;
    std::string target;
    std::string path;
    store.getExtentFileName(extent, &path);
    if (!check(store.checkExtentLink(extent, &exists, &target), "Checking a link"))
        return;
    struct stat st;
    std::cout << "  extent " << extent << " at " << path.substr(store.getDir().size() + 1);
    if (!exists) {
        std::cout << ": absent\n";
    } else if (!target.empty()) {
        std::cout << ": soft link to " << target << "\n";
    } else if (::stat(path.c_str(), &st) == 0) {
        std::cout << ": " << st.st_size << " bytes, " << st.st_blocks * 512 << " on disk, "
                  << st.st_nlink << (st.st_nlink == 1 ? " name" : " names") << "\n";
    }
}

}  // namespace

int main() {
    char base[] = "/tmp/tqblk-extent-tour-XXXXXX";
    if (!mkdtemp(base)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string privateDir = std::string(base) + "/private";
    const std::string recallDir = std::string(base) + "/recall";
    const long long deviceSize = 3LL << 29;  // 1.5 GiB in extents of 16 KiB: 98304 extents,
    const int extentSize = 16 << 10;         // named by three groups below "data"

    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> priv(TqBlkPrivateStore::create(
        privateDir.c_str(), "tour-private", deviceSize, extentSize, &err));
    if (!check(err, "Creating the private store"))
        return 1;
    std::unique_ptr<TqBlkRecallStore> recall(
        TqBlkRecallStore::create(recallDir.c_str(), "tour-recall", deviceSize, extentSize, &err));
    if (!check(err, "Creating the recall store"))
        return 1;

    // 1. Extents written through temporary files, in both stores.
    for (long long extent : {0LL, 1LL, 200LL, 40000LL})
        if (!writeExtent(*priv, extent, 'p'))
            return 1;
    if (!writeExtent(*recall, 5, 'r'))
        return 1;

    // 2. A recall store reads its extents but refuses to open them for writing.
    int fd = -1;
    err = recall->openExtentFile(5, O_RDWR, &fd);
    std::cout << "Opening a recall extent for writing: " << err.GetMessages().front() << "\n";

    // 3. A sparse extent: all zeros, next to no disk space.
    if (!check(recall->createExtentWithNUL(6), "Creating a sparse extent"))
        return 1;

    // 4. Links: a hard link shares the private store's file, a soft link points anywhere.
    if (!check(recall->hardLinkExtentFile(priv.get(), 200, -1), "Hard linking"))
        return 1;
    std::string source;
    priv->getExtentFileName(1, &source);
    if (!check(recall->softLinkExtentFile(source, 1), "Soft linking"))
        return 1;

    std::cout << "\nThe recall store's extents:\n";
    for (long long extent : {1LL, 5LL, 6LL, 7LL, 200LL})
        describe(*recall, extent);

    // 5. The bitmap: one chunk per 32768 extents, empty or 4096 bytes of bits.
    for (TqBlkBackingStore* store : {static_cast<TqBlkBackingStore*>(priv.get()),
                                     static_cast<TqBlkBackingStore*>(recall.get())}) {
        std::vector<std::vector<unsigned char> > bitmap;
        int perChunk = 0;
        if (!check(store->getExtentBitmap(&bitmap, &perChunk), "Scanning"))
            return 1;
        std::cout << "\nBitmap of " << store->m_uuid << ": " << bitmap.size() << " chunk(s) of "
                  << perChunk << " extents\n";
        for (size_t c = 0; c < bitmap.size(); ++c) {
            std::cout << "  chunk " << c << ": ";
            if (bitmap[c].empty()) {
                std::cout << "no extent present\n";
                continue;
            }
            std::cout << "present";
            for (size_t bit = 0; bit < bitmap[c].size() * 8; ++bit)
                if (bitmap[c][bit / 8] & (1u << (bit % 8)))
                    std::cout << " " << c * perChunk + bit;
            std::cout << "\n";
        }
    }

    if (!check(TqBlkBackingStore::remove(recallDir.c_str()), "Removing the recall store") ||
        !check(TqBlkBackingStore::remove(privateDir.c_str()), "Removing the private store"))
        return 1;
    ::rmdir(base);
    std::cout << "\nRemoved both stores.\n";
    return 0;
}
