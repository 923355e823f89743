// The code locations that store failures carry: one for the operation that found the failure,
// innermost, then one for each operation that passed it up, all in the store's source file.

#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The operations that err's locations name, innermost first ("mkdir", "createStore"), or a
// text saying which location is not in the store's source file.
std::vector<std::string> chainOf(const CZyError& err) {
    std::vector<std::string> chain;
    for (const JQCodeLocation& where : err.GetLocations()) {
        if (std::string(where.m_file) != "TqBlkBackingStore.cpp") {
            chain.push_back(std::string("file ") + where.m_file);
            continue;
        }
        std::string function = where.m_function;
        function = function.substr(0, function.find('('));
        chain.push_back(function.substr(function.rfind("::") + 2));
    }
    return chain;
}

using Chain = std::vector<std::string>;

class StoreLocations : public ::testing::Test {
  protected:
    void SetUp() override {
        CZyError err;
        store.reset(TqBlkPrivateStore::create((dir / "s").c_str(), "uuid", 3 * 4096, 4096, &err));
        ASSERT_TRUE(store) << err.GetDescription();
    }

    tqtest::TempDir dir;
    std::unique_ptr<TqBlkPrivateStore> store;
};

TEST_F(StoreLocations, DirectoryFailuresNameTheOperationThatFoundThem) {
    tqtest::WriteFile(dir / "file", "x");
    // An entry that is no directory is found by mkdir itself.
    EXPECT_EQ(chainOf(TqBlkBackingStore::mkdir(dir / "file")), Chain{"mkdir"});
    // The walk that empties a tree is rmUnder's, however deep it fails.
    EXPECT_EQ(chainOf(TqBlkBackingStore::rmUnder(dir / "file")), Chain{"rmUnder"});
    // The operations of the lifecycle push theirs on top.
    TqBlkPrivateStore other;
    EXPECT_EQ(chainOf(other.createStore((dir / "file").c_str(), "u", 4096, 4096)),
              (Chain{"mkdir", "createStore"}));
    EXPECT_EQ(chainOf(TqBlkBackingStore::remove((dir / "file").c_str())),
              (Chain{"openStore", "remove"}));
}

TEST_F(StoreLocations, ConfigFailuresNameReadConfigOrSaveConfig) {
    ASSERT_EQ(::unlink((dir / "s/config").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "s/config").c_str(), 0777), 0);
    TqBlkPrivateStore other;
    EXPECT_EQ(chainOf(other.openStore((dir / "s").c_str())), (Chain{"readConfig", "openStore"}));
    ASSERT_EQ(::rmdir((dir / "s/config").c_str()), 0);
    tqtest::WriteFile(dir / "s/config", "uuid=u\n");
    EXPECT_EQ(chainOf(other.openStore((dir / "s").c_str())), (Chain{"readConfig", "openStore"}));

    store->m_dir = dir / "missing";
    EXPECT_EQ(chainOf(store->saveConfig()), Chain{"saveConfig"});
    EXPECT_EQ(chainOf(store->clear()), (Chain{"rmUnder", "clear"}));
}

TEST_F(StoreLocations, MoveInFailuresNameMoveInExtentFileOnce) {
    // A missing source: the rename fails in moveInExtentFile and nobody passes it up.
    CZyError err = store->moveInExtentFile((dir / "none").c_str(), 1);
    EXPECT_EQ(err.GetErrNo(), ENOENT);
    EXPECT_EQ(chainOf(err), Chain{"moveInExtentFile"});
    EXPECT_EQ(chainOf(store->moveInExtentFile((dir / "none").c_str(), 7)),
              (Chain{"getExtentFileName", "moveInExtentFile"}));

    // The extent's parent cannot be made: mkdir finds it, both move-ins pass it up.
    tqtest::RemoveTree(dir / "s/data");  // made by the move-ins above
    tqtest::WriteFile(dir / "s/data", "a file where the tree should be");
    EXPECT_EQ(chainOf(store->moveInExtentFile((dir / "none").c_str(), 1)),
              (Chain{"mkdir", "moveInExtentFile"}));
    EXPECT_EQ(chainOf(store->createExtentWithNUL(1)),
              (Chain{"mkdir", "moveInExtentFile", "createExtentWithNUL"}));
    EXPECT_TRUE(tqtest::ListDir(dir / "s/tmp").empty());  // the temporary file went
}

TEST_F(StoreLocations, ExtentAndLinkFailuresCarryTheirCallersChain) {
    tqtest::WriteFile(dir / "s/tmp", "x");
    EXPECT_EQ(chainOf(store->createExtentWithNUL(0)),
              (Chain{"mkdir", "openTempFile", "createExtentWithNUL"}));
    std::string path;
    FILE* stream = nullptr;
    EXPECT_EQ(chainOf(store->openTempFile(&path, &stream)),
              (Chain{"mkdir", "openTempFile", "openTempFile"}));
    int fd = -1;
    EXPECT_EQ(chainOf(store->openExtentFile(0, O_RDONLY, &fd)), Chain{"openExtentFile"});
    EXPECT_EQ(chainOf(store->hardLinkExtentFile(store.get(), 0, 1)), Chain{"hardLinkExtentFile"});
    EXPECT_EQ(chainOf(store->softLinkExtentFile("t", 9)),
              (Chain{"getExtentFileName", "softLinkExtentFile"}));
}

}  // namespace
