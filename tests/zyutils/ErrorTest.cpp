#include "TestSupport.h"

#include <zyutils/ZyError.h>
#include <zyutils/ZyPath.h>
#include <zyutils/ZySleep.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {

CZyError innermost() {
    return JQErrorUtil::ErrorErrNo(JQ_HERE, ENOENT, "Couldn't open %s", "f");
}

CZyError middle() {
    CZyError err = innermost();
    return err.Push(JQ_HERE);
}

CZyError outer() {
    CZyError err = middle();
    return err.Push(JQ_HERE, "Couldn't load %d things", 3);
}

TEST(ErrorValue, SuccessCarriesNoRecord) {
    CZyError ok = CZyError::Success();
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetCode(), 0);
    EXPECT_EQ(ok.GetErrNo(), 0);
    EXPECT_FALSE(ok.m_private);
    EXPECT_TRUE(ok.GetMessages().empty());
    EXPECT_TRUE(ok.GetLocations().empty());
}

TEST(ErrorValue, ChainKeepsMessagesAndLocationsInnermostFirst) {
    CZyError err = outer();
    ASSERT_TRUE(err.IsError());
    EXPECT_LT(err.GetCode(), 0);
    EXPECT_TRUE(tqtest::HasError(err, ENOENT, {"Couldn't open f", "Couldn't load 3 things"}));
    std::vector<JQCodeLocation> locations = err.GetLocations();
    ASSERT_EQ(locations.size(), 3u);
    EXPECT_STREQ(locations[0].m_file, "ErrorTest.cpp");
    EXPECT_NE(std::strstr(locations[0].m_function, "innermost"), nullptr);
    EXPECT_NE(std::strstr(locations[1].m_function, "middle"), nullptr);
    EXPECT_NE(std::strstr(locations[2].m_function, "outer"), nullptr);
    EXPECT_LT(locations[0].m_line, locations[1].m_line);
}

TEST(ErrorValue, CopiesShareTheRecord) {
    CZyError first = innermost();
    CZyError second = first;
    second.Push(JQ_HERE, "pushed on the copy");
    EXPECT_EQ(first.GetMessages().size(), 2u);
    EXPECT_EQ(first.GetCode(), second.GetCode());
}

TEST(ErrorValue, LongMessagesAreKeptWhole) {
    std::string path(5000, 'p');
    CZyError err = JQErrorUtil::ErrorErrNo(JQ_HERE, EINVAL, "Path %s is bad", path.c_str());
    EXPECT_EQ(err.GetMessages().at(0), "Path " + path + " is bad");
}

TEST(ErrorValue, DescriptionNamesErrnoMessagesAndPlaces) {
    std::string text = outer().GetDescription();
    EXPECT_NE(text.find("ENOENT"), std::string::npos) << text;
    EXPECT_NE(text.find("(2)"), std::string::npos) << text;
    EXPECT_NE(text.find("Couldn't open f"), std::string::npos) << text;
    EXPECT_NE(text.find("Couldn't load 3 things"), std::string::npos) << text;
    EXPECT_NE(text.find("ErrorTest.cpp:"), std::string::npos) << text;
    EXPECT_EQ(CZyError::Success().GetDescription(), "Success");
}

TEST(ErrorValue, PushOnSuccessChangesNothing) {
    CZyError ok;
    ok.Push(JQ_HERE, "ignored");
    EXPECT_FALSE(ok.IsError());
    EXPECT_TRUE(ok.GetLocations().empty());
}

TEST(UtilityServices, PathExistsFollowsLinks) {
    tqtest::TempDir dir;
    tqtest::WriteFile(dir / "file", "x");
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    EXPECT_TRUE(CZyPath::Exists((dir / "file").c_str()));
    EXPECT_TRUE(CZyPath::Exists((dir / "link").c_str()));
    EXPECT_FALSE(CZyPath::Exists((dir / "dangling").c_str()));
    EXPECT_FALSE(CZyPath::Exists((dir / "none").c_str()));
}

TEST(UtilityServices, SleepBlocksAtLeastTheGivenTime) {
    auto start = std::chrono::steady_clock::now();
    ZYSLEEP_InTeRnAl(30, __FILE__, __LINE__);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
