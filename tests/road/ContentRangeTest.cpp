// The judge of a 206 answer's Content-Range: an unknown total ("/*") is a match, not a
// changed object.
#include "ContentRange.h"

#include <gtest/gtest.h>

namespace {

using recalld::RangeVerdict;

TEST(ContentRange, JudgesEachForm) {
    const struct {
        const char* header;
        RangeVerdict verdict;
    } cases[] = {
        {"bytes 65536-131071/1048576", RangeVerdict::Matches},
        {"bytes 65536-131071/*", RangeVerdict::Matches},
        {"bytes 65536-131071/2097152", RangeVerdict::OtherSize},
        {"bytes 0-65535/1048576", RangeVerdict::Wrong},
        {"bytes 65536-131071", RangeVerdict::Wrong},
        {"", RangeVerdict::Wrong},
    };
    for (const auto& c : cases)
        EXPECT_EQ(recalld::judgeContentRange(c.header, 65536, 131071, 1048576), c.verdict)
            << c.header;
}

}  // namespace
