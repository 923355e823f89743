// A first tour of libtqblk's backing stores: create a private and a recall store, look at
// the config file and at extent names, open a store again, and handle a failure.
//
// Build against an installed library with find_package(tqblk) and target tqblk::tqblk.
#include <tqblk/TqBlkBackingStore.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every operation returns a CZyError; a caller shows GetDescription() when it fails.
bool check(const CZyError& err, const char* what) {
    if (!err.IsError())
        return true;
    std::cerr << what << " failed:\n" << err.GetDescription() << "\n";
    return false;
}

}  // namespace

int main() {
    char base[] = "/tmp/tqblk-tour-XXXXXX";
    if (!mkdtemp(base)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string privateDir = std::string(base) + "/private";
    const std::string recallDir = std::string(base) + "/recall";
    const long long deviceSize = 64LL << 20;  // 64 MiB device
    const int extentSize = 64 << 10;          // in 64 KiB extents: 1024 extents

    // 1. Create the two stores of one device. The factories return null on failure and
    //    always fill the CZyError.
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> priv(TqBlkPrivateStore::create(
        privateDir.c_str(), "tour-private", deviceSize, extentSize, &err));
    if (!check(err, "Creating the private store"))
        return 1;
    std::unique_ptr<TqBlkRecallStore> recall(
        TqBlkRecallStore::create(recallDir.c_str(), "tour-recall", deviceSize, extentSize, &err));
    if (!check(err, "Creating the recall store"))
        return 1;

    std::cout << "Created stores in " << base << "\n\n";
    std::cout << "The recall store's config file:\n" << readFile(recallDir + "/config") << "\n";

    // 2. Extent names: a fixed tree of two-digit hexadecimal groups below "data".
    std::cout << "Extent count: " << recall->m_extentCount << "\n";
    for (long long extent : {0LL, 1LL, 127LL, 128LL, 1023LL}) {
        std::string path;
        if (!check(recall->getExtentFileName(extent, &path), "Naming an extent"))
            return 1;
        char relative[64];
        tqblk_bstore_make_extent_fname(extent, recall->m_extentCount, relative);
        std::cout << "  extent " << extent << " -> " << relative << "\n";
    }

    // 3. Open the store again from its directory alone.
    std::unique_ptr<TqBlkRecallStore> reopened(TqBlkRecallStore::open(recallDir.c_str(), &err));
    if (!check(err, "Opening the recall store"))
        return 1;
    std::cout << "\nReopened store " << reopened->m_uuid << ": " << reopened->getDeviceSize()
              << " bytes in extents of " << reopened->getExtentSize() << " bytes\n";

    // 4. A failure, shown the way a caller should show it.
    std::string path;
    err = reopened->getExtentFileName(reopened->m_extentCount, &path);
    std::cout << "\nAsking for an extent past the end gives errno " << err.GetErrNo() << ":\n"
              << err.GetDescription() << "\n";

    std::unique_ptr<TqBlkPrivateStore> none(
        TqBlkPrivateStore::open((std::string(base) + "/missing").c_str(), &err));
    std::cout << "\nOpening a store that is not there:\n" << err.GetDescription() << "\n";

    // 5. Clean up: remove checks that each directory is a store before deleting it.
    if (!check(TqBlkBackingStore::remove(privateDir.c_str()), "Removing the private store") ||
        !check(TqBlkBackingStore::remove(recallDir.c_str()), "Removing the recall store"))
        return 1;
    ::rmdir(base);
    std::cout << "\nRemoved both stores.\n";
    return 0;
}
