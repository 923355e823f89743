#include "ReadaheadWindow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each demand's step as text: "r" the run restarts, "-" nothing to bring in, "A-B" bring in
// extents A to B.
std::string Steps(long long cap, long long count, const std::vector<long long>& demands) {
    recalld::ReadaheadWindow window(cap, count);
    std::string out;
    for (long long extent : demands) {
        const recalld::ReadaheadWindow::Step step = window.demanded(extent);
        out += out.empty() ? "" : " ";
        if (step.restart)
            out += "r";
        else if (step.first > step.last)
            out += "-";
        else
            out += std::to_string(step.first) + "-" + std::to_string(step.last);
    }
    return out;
}

TEST(ReadaheadWindow, GrowsWithASequentialRunAndStartsOverWhereItBreaks) {
    const struct {
        const char* name;
        long long cap, count;
        std::vector<long long> demands;
        const char* steps;
    } kCases[] = {
        {"doubles up to the cap", 8, 100, {0, 1, 2, 3, 4}, "r 2-3 4-6 7-11 12-12"},
        {"a recall a little behind goes on", 8, 100, {0, 1, 2, 1, 3}, "r 2-3 4-6 - 7-11"},
        {"a recall of an extent read ahead goes on", 8, 100, {0, 1, 3}, "r 2-3 4-7"},
        {"a jump restarts", 8, 100, {0, 1, 50, 51}, "r 2-3 r 52-53"},
        {"far behind restarts", 8, 100, {10, 11, 12, 2}, "r 12-13 14-16 r"},
        {"stops at the last extent", 8, 6, {3, 4, 5}, "r 5-5 -"},
        {"a cap of one", 1, 100, {0, 1, 2}, "r 2-2 3-3"},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(Steps(c.cap, c.count, c.demands), c.steps) << c.name;
}

}  // namespace
