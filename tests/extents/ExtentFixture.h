#ifndef TQBLK_TESTS_EXTENTFIXTURE_H
#define TQBLK_TESTS_EXTENTFIXTURE_H

#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace tqtest {

// A private store "p" and a recall store "r" of the same metrics in a fresh directory.
// The default metrics give 3 extents named by one group each.
class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { makeStores(3 * 4096, 4096); }

    void makeStores(long long deviceSize, int extentSize) {
        CZyError err;
        priv.reset(TqBlkPrivateStore::create((dir / "p").c_str(), "priv-uuid", deviceSize,
                                             extentSize, &err));
        ASSERT_TRUE(priv) << err.GetDescription();
        recall.reset(TqBlkRecallStore::create((dir / "r").c_str(), "recall-uuid", deviceSize,
                                              extentSize, &err));
        ASSERT_TRUE(recall) << err.GetDescription();
    }

    std::string pathOf(TqBlkBackingStore& store, long long extent) {
        std::string path;
        CZyError err = store.getExtentFileName(extent, &path);
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        return path;
    }

    // Puts an extent file with the given content in place, directories included.
    void putExtent(TqBlkBackingStore& store, long long extent, const std::string& content) {
        std::string path = pathOf(store, extent);
        ASSERT_OK(TqBlkBackingStore::makeParentDir(path));
        WriteFile(path, content);
    }

    // A temporary file of the store holding content.
    std::string tempWith(TqBlkBackingStore& store, const std::string& content) {
        std::string path;
        FILE* stream = nullptr;
        CZyError err = store.openTempFile(&path, &stream);
        EXPECT_FALSE(err.IsError()) << err.GetDescription();
        if (stream) {
            std::fputs(content.c_str(), stream);
            std::fclose(stream);
        }
        return path;
    }

    std::vector<std::string> tmpFiles(TqBlkBackingStore& store) {
        return ListDir(store.getDir() + "/tmp");
    }

    TempDir dir;
    std::unique_ptr<TqBlkPrivateStore> priv;
    std::unique_ptr<TqBlkRecallStore> recall;
};

inline ino_t InodeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Descriptors open in this process, to see that none leaks.
inline size_t OpenDescriptors() {
    return ListDir("/proc/self/fd").size();
}

}  // namespace tqtest

#endif
