// The version a program is compiled against and the one the library reports at run time.
#include <tqblk/version.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(Version, RunTimeVersionIsTheCompiledOne) {
    EXPECT_STREQ(tqblk_version_string(), TQBLK_VERSION_STRING);
    EXPECT_EQ(tqblk_version_number(), TQBLK_VERSION_NUMBER);
}

TEST(Version, StringAndNumberSpellTheSameVersion) {
    const std::string spelled = std::to_string(TQBLK_VERSION_MAJOR) + "." +
                                std::to_string(TQBLK_VERSION_MINOR) + "." +
                                std::to_string(TQBLK_VERSION_PATCH);
    EXPECT_EQ(spelled, TQBLK_VERSION_STRING);
    EXPECT_EQ(tqblk_version_number(),
              TQBLK_MAKE_VERSION(TQBLK_VERSION_MAJOR, TQBLK_VERSION_MINOR, TQBLK_VERSION_PATCH));
}

TEST(Version, NumbersOrderAsReleasesDo) {
    // A later patch, minor or major release always compares greater.
    EXPECT_LT(TQBLK_MAKE_VERSION(1, 0, 255), TQBLK_MAKE_VERSION(1, 1, 0));
    EXPECT_LT(TQBLK_MAKE_VERSION(1, 255, 255), TQBLK_MAKE_VERSION(2, 0, 0));
    EXPECT_GE(TQBLK_VERSION_NUMBER, TQBLK_MAKE_VERSION(1, 0, 0));
}
