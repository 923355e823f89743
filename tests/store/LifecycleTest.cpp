#include "TestSupport.h"

#include <tqblk/TqBlkBackingStore.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using tqtest::HasError;
using tqtest::ListDir;

namespace {

class StoreLifecycle : public ::testing::Test {
  protected:
    std::string store() const { return dir / "store"; }
    tqtest::TempDir dir;
};

TEST_F(StoreLifecycle, CreateWritesExactlyTheConfigFile) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "u", 96, 32, &err));
    ASSERT_TRUE(s) << err.GetDescription();
    EXPECT_FALSE(err.IsError());
    EXPECT_EQ(tqtest::ReadFile(store() + "/config"), "uuid=u\ndevice_size=96\nextent_size=32\n");
    EXPECT_EQ(ListDir(store()), (std::vector<std::string>{"config"}));
    EXPECT_EQ(s->m_extentCount, 3);
    EXPECT_EQ(s->m_type, TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    EXPECT_EQ(s->getDir(), store());
    EXPECT_EQ(s->getDeviceSize(), 96);
    EXPECT_EQ(s->getExtentSize(), 32);
    EXPECT_EQ(s->m_extentNameLen, 0);
}

TEST_F(StoreLifecycle, ExtentCountIsTheCeiling) {
    TqBlkBackingStore a(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    ASSERT_OK(a.createStore(store().c_str(), "u", 10, 4));
    EXPECT_EQ(a.m_extentCount, 3);
    TqBlkBackingStore b(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    ASSERT_OK(b.createStore(store().c_str(), "u", 8, 4));
    EXPECT_EQ(b.m_extentCount, 2);
    ASSERT_OK(b.createStore(store().c_str(), "u", 1, 1 << 30));
    EXPECT_EQ(b.m_extentCount, 1);
}

TEST_F(StoreLifecycle, CreateRejectsBadArgumentsBeforeTouchingDisk) {
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    std::string path = store();
    const char* d = path.c_str();
    EXPECT_TRUE(HasError(s.createStore(nullptr, "u", 8, 2), EINVAL,
                         {"NULL or empty directory passed as input"}));
    EXPECT_TRUE(HasError(s.createStore("", "u", 8, 2), EINVAL,
                         {"NULL or empty directory passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, nullptr, 8, 2), EINVAL, {"NULL or empty UUID passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "", 8, 2), EINVAL, {"NULL or empty UUID passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", 0, 2), EINVAL, {"Invalid device size 0 passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", -5, 2), EINVAL, {"Invalid device size -5 passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", 8, 0), EINVAL, {"Invalid extent size 0 passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", 8, -4), EINVAL, {"Invalid extent size -4 passed as input"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", 8, 1), EINVAL, {"Extent size 1 must've been a power of 2"}));
    EXPECT_TRUE(
        HasError(s.createStore(d, "u", 8, 3), EINVAL, {"Extent size 3 must've been a power of 2"}));
    EXPECT_FALSE(tqtest::PathExists(path));
    EXPECT_TRUE(s.m_dir.empty());
    EXPECT_EQ(s.m_extentCount, 0);
}

TEST_F(StoreLifecycle, UuidThatWouldNotReadBackIsRefused) {
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    std::string path = store();
    for (std::string uuid : {std::string("a#b"), std::string("a\nb"), std::string("a\rb"),
                             std::string("a\tb"), std::string(" lead"), std::string("trail "),
                             std::string("bell\a"), std::string(1019, 'x')}) {
        EXPECT_TRUE(HasError(s.createStore(path.c_str(), uuid.c_str(), 8, 2), EINVAL,
                             {"Invalid UUID \"" + uuid + "\" passed as input"}));
    }
    EXPECT_FALSE(tqtest::PathExists(path));
    for (std::string uuid : {std::string("a=b c"), std::string(1018, 'y')}) {
        ASSERT_OK(s.createStore(path.c_str(), uuid.c_str(), 8, 2));
        TqBlkBackingStore back(TqBlkBackingStore::TQBLK_STORE_RECALL);
        ASSERT_OK(back.openStore(path.c_str()));
        EXPECT_EQ(back.m_uuid, uuid);
    }
}

TEST_F(StoreLifecycle, CreateEmptiesAnExistingDirectory) {
    ASSERT_OK(TqBlkBackingStore::mkdir(store() + "/data/00"));
    tqtest::WriteFile(store() + "/data/00/01", "old");
    tqtest::WriteFile(store() + "/junk", "j");
    ASSERT_EQ(::symlink("/", (store() + "/root-link").c_str()), 0);
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_RECALL);
    ASSERT_OK(s.createStore(store().c_str(), "u", 100, 4));
    EXPECT_EQ(ListDir(store()), (std::vector<std::string>{"config"}));
}

TEST_F(StoreLifecycle, CreateOnRegularFileFailsWithChain) {
    tqtest::WriteFile(store(), "file");
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    EXPECT_TRUE(
        HasError(s.createStore(store().c_str(), "u", 8, 2), ENOTDIR,
                 {"Can't make directory " + store() + ". It already exists and is not a directory",
                  "Couldn't create backing store's directory " + store()}));
    // The object keeps the values it was given.
    EXPECT_EQ(s.m_dir, store());
    EXPECT_EQ(s.m_extentCount, 4);
}

TEST_F(StoreLifecycle, CreateMakesMissingParents) {
    std::string deep = dir / "p/q/r";
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> s(TqBlkRecallStore::create(deep.c_str(), "u", 8, 2, &err));
    ASSERT_TRUE(s) << err.GetDescription();
    EXPECT_EQ(s->m_type, TqBlkBackingStore::TQBLK_STORE_RECALL);
    EXPECT_TRUE(tqtest::PathExists(deep + "/config"));
}

TEST_F(StoreLifecycle, EitherFactoryOpensEitherKind) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> made(
        TqBlkRecallStore::create(store().c_str(), "made", 1000, 8, &err));
    ASSERT_TRUE(made);
    std::unique_ptr<TqBlkPrivateStore> opened(TqBlkPrivateStore::open(store().c_str(), &err));
    ASSERT_TRUE(opened) << err.GetDescription();
    EXPECT_EQ(opened->m_type, TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    EXPECT_EQ(opened->m_uuid, "made");
    EXPECT_EQ(opened->m_deviceSize, 1000);
    EXPECT_EQ(opened->m_extentSize, 8);
    EXPECT_EQ(opened->m_extentCount, 125);
    std::unique_ptr<TqBlkRecallStore> again(TqBlkRecallStore::open(store().c_str(), &err));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->m_type, TqBlkBackingStore::TQBLK_STORE_RECALL);
}

TEST_F(StoreLifecycle, OpenFailures) {
    CZyError err = CZyError::Success();
    EXPECT_EQ(TqBlkPrivateStore::open(nullptr, &err), nullptr);
    EXPECT_TRUE(HasError(err, EINVAL, {"NULL or empty directory passed as input"}));
    EXPECT_EQ(TqBlkPrivateStore::open((dir / "none").c_str(), &err), nullptr);
    EXPECT_TRUE(HasError(err, ENOENT, {"Couldn't stat backing store directory " + (dir / "none")}));
    tqtest::WriteFile(dir / "file", "x");
    EXPECT_EQ(TqBlkRecallStore::open((dir / "file").c_str(), &err), nullptr);
    EXPECT_TRUE(HasError(err, ENOTDIR, {(dir / "file") + " is not a directory"}));
    ASSERT_EQ(::mkdir(store().c_str(), 0777), 0);
    TqBlkBackingStore s(TqBlkBackingStore::TQBLK_STORE_PRIVATE);
    EXPECT_TRUE(HasError(s.openStore(store().c_str()), ENOENT,
                         {"Couldn't open config file " + store() + "/config for reading",
                          "Couldn't open backing store in " + store()}));
    EXPECT_EQ(s.m_dir, store());
}

TEST_F(StoreLifecycle, ClearLeavesOnlyARewrittenConfig) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "u", 1 << 20, 4096, &err));
    ASSERT_TRUE(s);
    ASSERT_OK(TqBlkBackingStore::mkdir(store() + "/data/01"));
    ASSERT_OK(TqBlkBackingStore::mkdir(store() + "/tmp"));
    tqtest::WriteFile(store() + "/data/01/7f", "e");
    tqtest::WriteFile(store() + "/tmp/temp0001", "t");
    tqtest::WriteFile(store() + "/config", "uuid=other\n");
    ASSERT_OK(s->clear());
    EXPECT_EQ(ListDir(store()), (std::vector<std::string>{"config"}));
    EXPECT_EQ(tqtest::ReadFile(store() + "/config"),
              "uuid=u\ndevice_size=1048576\nextent_size=4096\n");
}

TEST_F(StoreLifecycle, ClearFailureNamesTheStoreUuid) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "the-uuid", 64, 2, &err));
    ASSERT_TRUE(s);
    tqtest::RemoveTree(store());
    EXPECT_TRUE(
        HasError(s->clear(), ENOENT,
                 {"Couldn't open directory " + store(), "Couldn't clear backing store the-uuid"}));
}

TEST_F(StoreLifecycle, RemoveDeletesAStoreDirectory) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "u", 64, 2, &err));
    ASSERT_TRUE(s);
    ASSERT_OK(TqBlkBackingStore::mkdir(store() + "/data/00"));
    tqtest::WriteFile(store() + "/data/00/05", "e");
    ASSERT_OK(TqBlkBackingStore::remove(store().c_str()));
    EXPECT_FALSE(tqtest::PathExists(store()));
}

TEST_F(StoreLifecycle, RemoveRefusesWhatIsNotAStore) {
    ASSERT_EQ(::mkdir(store().c_str(), 0777), 0);
    tqtest::WriteFile(store() + "/precious", "p");
    tqtest::WriteFile(store() + "/config", "uuid=u\n");
    EXPECT_TRUE(HasError(TqBlkBackingStore::remove(store().c_str()), EINVAL,
                         {"Couldn't find device size in config file " + store() + "/config",
                          "Couldn't open backing store in " + store(),
                          store() + " is not a backing store directory"}));
    EXPECT_EQ(tqtest::ReadFile(store() + "/precious"), "p");
}

TEST_F(StoreLifecycle, RemoveOfNullDirectoryFailsCleanly) {
    CZyError err = TqBlkBackingStore::remove(nullptr);
    EXPECT_TRUE(HasError(
        err, EINVAL,
        {"NULL or empty directory passed as input", "(null) is not a backing store directory"}));
}

TEST_F(StoreLifecycle, RemoveRefusesALinkAndTouchesNothing) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> s(
        TqBlkPrivateStore::create(store().c_str(), "u", 64, 2, &err));
    std::string link = dir / "link";
    ASSERT_EQ(::symlink(store().c_str(), link.c_str()), 0);
    for (const std::string& path : {link, link + "//"})
        EXPECT_EQ(TqBlkBackingStore::remove(path.c_str()).GetErrNo(), ELOOP) << path;
    EXPECT_EQ(ListDir(store()), (std::vector<std::string>{"config"}));
}

// Nothing on another mount inside a store is entered or removed, a bind mount of the same
// file system included, on one walk thread or several; the rest goes, the call fails and
// the store keeps its config.
TEST_F(StoreLifecycle, NoOperationCrossesAMountPoint) {
    const std::string outside = dir / "outside";
    ASSERT_OK(TqBlkBackingStore::mkdir(outside));
    for (const char* threads : {"1", "8"}) {
        for (const std::string op : {"clear", "remove", "rmUnder"}) {
            for (bool bind : {false, true}) {
                const std::string at = op == "rmUnder" ? "tmp/a/m" : bind ? "tmp/m" : "data/00/m";
                SCOPED_TRACE(op + " " + at + " " + threads);
                CZyError err;
                std::unique_ptr<TqBlkPrivateStore> s(
                    TqBlkPrivateStore::create(store().c_str(), "u", 64, 2, &err));
                const std::string mountPoint = store() + "/" + at, top = store() + "/tmp";
                ASSERT_OK(TqBlkBackingStore::mkdir(mountPoint));
                tqtest::WriteFile(top + "/t1", "t");
                EXPECT_EQ(tqtest::RunInPrivateMounts([&, op = op, bind = bind]() -> std::string {
                              ::setenv("TQBLK_THREADS", threads, 1);
                              if (::mount(bind ? outside.c_str() : "t", mountPoint.c_str(),
                                          bind ? nullptr : "tmpfs", bind ? MS_BIND : 0, nullptr))
                                  return "mount failed";
                              tqtest::WriteFile(mountPoint + "/victim", "v");
                              CZyError e = op == "clear" ? s->clear()
                                           : op == "remove"
                                               ? TqBlkBackingStore::remove(store().c_str())
                                               : TqBlkBackingStore::rmUnder(top);
                              if (e.GetErrNo() != EXDEV ||
                                  e.GetMessages()[0] != "Couldn't remove " + mountPoint +
                                                            ": it is on another file system")
                                  return e.GetDescription();
                              return tqtest::ReadFile(mountPoint + "/victim") +
                                     tqtest::ReadFile(store() + "/config").substr(0, 6) +
                                     (tqtest::PathExists(top + "/t1") ? "t1" : "");
                          }),
                          "vuuid=u");
                tqtest::RemoveTree(outside + "/victim");
                tqtest::RemoveTree(store());
            }
        }
    }
}

}  // namespace
