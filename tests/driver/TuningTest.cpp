// Tuning values, and what the emulator refuses as the driver would.

#include "DriverFixture.h"

#include <unistd.h>

namespace drivertest {
namespace {

TEST_F(DriverTest, TheMruListIsWrittenIntoTheCallersArrayUpToItsRoom) {
    createDevice("dev");
    ASSERT_OK(m_driver->setMRUExts("dev", 3));
    control("use 1 dev\nuse 2 dev\nuse 3 dev\nuse 4 dev\nuse 2 dev\n");

    long long extents[5] = {-9, -9, -9, -9, -9};
    int count = 5;
    ASSERT_OK(m_driver->getMRUExts("dev", extents, &count));
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::vector<long long>(extents, extents + 5),
              (std::vector<long long>{2, 4, 3, -9, -9}));

    long long two[3] = {-9, -9, -9};
    count = 2;
    ASSERT_OK(m_driver->getMRUExts("dev", two, &count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(std::vector<long long>(two, two + 3), (std::vector<long long>{2, 4, -9}));

    EXPECT_TRUE(FailedIn(m_driver->setMRUExts("dev", -1), EINVAL,
                         "ioctl(TQBLK_SET_MRU_EXTS) has failed", "setMRUExts"));
    count = 1;
    EXPECT_EQ(m_driver->getMRUExts("dev", nullptr, &count).GetErrNo(), EFAULT);
    EXPECT_EQ(count, 1);
}

TEST_F(DriverTest, BlockSizesArePowersOfTwoUpToTheExtentSize) {
    createDevice("dev");  // private extents of 4096 bytes
    EXPECT_EQ(state("dev", "block-sizes"), "512 4096 4096 4096");
    ASSERT_OK(m_driver->setBlockSizes("dev", 512, 1024, 2048, 4096));
    EXPECT_EQ(state("dev", "block-sizes"), "512 1024 2048 4096");
    for (int bad : {0, -512, 3, 8192}) {
        SCOPED_TRACE(bad);
        EXPECT_TRUE(FailedIn(m_driver->setBlockSizes("dev", 512, 512, bad, 512), EINVAL,
                             "ioctl(TQBLK_SET_BLOCK_SIZES) has failed", "setBlockSizes"));
    }
    EXPECT_EQ(state("dev", "block-sizes"), "512 1024 2048 4096");
}

TEST_F(DriverTest, CreationIsRefusedForDuplicatesAndForStoresThatDisagree) {
    TqBlkBackingStore* priv = privateStore("p");
    std::string name;
    ASSERT_OK(m_driver->createDevice("dev", priv, nullptr, &name));
    EXPECT_TRUE(FailedIn(m_driver->createDevice("dev", priv, nullptr, &name), EEXIST,
                         "ioctl(TQBLK_CREATE_DEVICE) has failed", "createDevice"));

    // The store on disk no longer says what the object sends.
    TqBlkBackingStore* changed = privateStore("changed");
    tqtest::WriteFile(changed->getDir() + "/config",
                      "uuid=changed\ndevice_size=4096\nextent_size=4096\n");
    EXPECT_EQ(m_driver->createDevice("changed", changed, nullptr, &name).GetErrNo(), EINVAL);

    TqBlkBackingStore* gone = recallStore("gone");
    tqtest::RemoveTree(gone->getDir());
    EXPECT_EQ(m_driver->createDevice("gone", priv, gone, &name).GetErrNo(), EINVAL);
    EXPECT_EQ(name, "/dev/tqblk/tqblk0");
}

TEST_F(DriverTest, RelativeStoreDirectoriesResolveAgainstTheCallersDirectory) {
    TqBlkBackingStore* absolute = privateStore("rel");
    ASSERT_EQ(::chdir(m_temp.path().c_str()), 0);
    CZyError err;
    std::unique_ptr<TqBlkBackingStore> relative(TqBlkPrivateStore::open("rel", &err));
    ASSERT_FALSE(err.IsError()) << err.GetDescription();
    std::string name;
    EXPECT_OK(m_driver->createDevice("dev", relative.get(), nullptr, &name));
    EXPECT_EQ(state("dev", "private"), "4096 rel");
    ASSERT_EQ(::chdir("/"), 0);
    (void)absolute;
}

TEST_F(DriverTest, TheControlFileRefusesWhatItCannotDo) {
    createDevice("dev");  // a recall store of 16 extents
    EXPECT_EQ(m_emulator.control("recall 16 dev"), EINVAL);
    EXPECT_EQ(m_emulator.control("recall 1 nodev"), ENODEV);
    EXPECT_EQ(m_emulator.control("dance"), EINVAL);
    EXPECT_EQ(m_emulator.control("fail 0"), EINVAL);
    EXPECT_EQ(m_emulator.control("recall 15 dev"), 0);
}

}  // namespace
}  // namespace drivertest
