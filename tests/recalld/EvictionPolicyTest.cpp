// The order in which a bounded recall store's extents go: the small FIFO while it is over its
// share, reused extents kept in the main one, remembered names coming back to it, refused
// extents left where they are.
#include "EvictionPolicy.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

namespace {

// Every extent costs 60 bytes of a 1000-byte store: the small FIFO's share (100) holds one.
// A script's words: pN places extent N, dN places it for a demand read, kN finds it at start,
// uN reads it, v takes a victim. The victims left are taken at the end, until there is none.
std::string victims(const std::string& script, const std::set<long long>& refused) {
    recalld::EvictionPolicy policy(1000, 10);
    std::string order;
    auto take = [&] {
        long long cost = 0;
        long long extent = policy.victim([&](long long e) { return refused.count(e) > 0; }, &cost);
        if (extent >= 0)
            order += (order.empty() ? "" : " ") + std::to_string(extent);
        return extent >= 0;
    };
    std::istringstream words(script);
    for (std::string word; words >> word;) {
        const long long extent = word.size() > 1 ? std::stoll(word.substr(1)) : 0;
        if (word[0] == 'p' || word[0] == 'd')
            policy.placed(extent, 60, word[0] == 'd');
        else if (word[0] == 'k')
            policy.known(extent, 60);
        else if (word[0] == 'u')
            policy.used(extent);
        else
            take();
    }
    while (take()) {
    }
    return order;
}

TEST(EvictionPolicyTest, VictimsComeInS3FifoOrder) {
    const struct {
        const char* script;
        std::set<long long> refused;
        const char* order;
    } cases[] = {
        {"k1 p10 p20", {}, "10 1 20"},             // the small FIFO first while over its share
        {"p10 p20 p30 u10", {}, "20 10 30"},       // read again: moved on to the main FIFO
        {"d10 p20 p30 u10", {}, "10 20 30"},       // the read a demand recall was for: no reuse
        {"p10 p20 v p30 p10", {}, "10 20 10 30"},  // a remembered name comes back to main
        {"k1 p10 p20", {1, 10}, "20"},             // refused extents stay, and the call ends
        {"k1 k2 p10 p20", {10, 20}, "1 2"},        // a small FIFO all refused: the main one
    };
    for (const auto& c : cases)
        EXPECT_EQ(victims(c.script, c.refused), c.order) << c.script;
}

}  // namespace
