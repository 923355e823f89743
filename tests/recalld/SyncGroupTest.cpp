// The recall service's group commit of directory syncs: which callers a sync covers, how
// they share it, how a failed one is reported, and which directories an extent's entry needs.

#include "SyncGroup.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using recalld::SyncGroup;
using Outcome = std::pair<int, std::string>;

constexpr std::chrono::seconds kPatience{10};

// A sync the test ends by hand: each call counts as started, then blocks until released with
// the errno it is to return.
class HeldSync {
  public:
    std::function<int(const std::string&)> function() {
        return [this](const std::string&) { return run(); };
    }

    // Whether n syncs have started, within the patience.
    bool waitStarted(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_started >= n; });
    }

    // Ends the oldest sync not yet released.
    void release(int error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[m_released++] = error;
        m_changed.notify_all();
    }

    int started() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_started;
    }

  private:
    int run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        int index = m_started++;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released > index; });
        return m_results[index];
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_started = 0;
    int m_released = 0;
    std::map<int, int> m_results;
};

// A caller on a thread of its own, kept in *threads. Its answer may come long before its call
// returns: a leader goes on leading.
std::future<Outcome> waitAsync(SyncGroup& group, std::vector<std::future<void>>* threads) {
    auto answer = std::make_shared<std::promise<Outcome>>();
    threads->push_back(std::async(std::launch::async, [answer, &group] {
        group.syncDirectories({"/stores/a-recall/data/01"}, [answer](int e, const std::string& d) {
            answer->set_value(Outcome(e, d));
        });
    }));
    return answer->get_future();
}

bool ended(std::future<Outcome>& call) {
    return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// One caller's sync is running when two more come; they are released from it with the first.
struct MidSync {
    HeldSync held;
    SyncGroup group{held.function(), "/stores/a-recall"};
    std::future<Outcome> first;
    std::future<Outcome> second;
    std::future<Outcome> third;
    std::vector<std::future<void>> threads;

    // A failed assertion must not leave the callers blocked in a held sync.
    ~MidSync() {
        for (int i = 0; i < 3; ++i)
            held.release(0);
    }

    void start() {
        first = waitAsync(group, &threads);
        ASSERT_TRUE(held.waitStarted(1));
        second = waitAsync(group, &threads);
        third = waitAsync(group, &threads);
        // Time to join the group; they join the next generation whenever they come.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held.release(0);
        ASSERT_EQ(first.get(), Outcome(0, ""));
        ASSERT_TRUE(held.waitStarted(2))
            << "the callers that came mid-sync need a sync of their own";
        EXPECT_FALSE(ended(second) || ended(third)) << "covered by a sync that started before them";
    }
};

TEST(SyncGroupTest, CallersThatComeMidSyncShareTheNextSyncAndNotTheRunningOne) {
    MidSync run;
    run.start();
    if (HasFatalFailure())
        return;
    run.held.release(0);
    EXPECT_EQ(run.second.get(), Outcome(0, ""));
    EXPECT_EQ(run.third.get(), Outcome(0, ""));
    EXPECT_EQ(run.held.started(), 2);
    EXPECT_EQ(run.group.directorySyncs(), 2);
}

TEST(SyncGroupTest, EveryMemberOfAFailedSyncGetsItsErrnoAndTheNextSyncStartsAfresh) {
    MidSync run;
    run.start();
    if (HasFatalFailure())
        return;
    run.held.release(EIO);
    for (std::future<Outcome>* call : {&run.second, &run.third}) {
        Outcome outcome = call->get();
        EXPECT_EQ(outcome.first, EIO);
        EXPECT_NE(outcome.second.find("/stores/a-recall"), std::string::npos) << outcome.second;
        EXPECT_NE(outcome.second.find(std::strerror(EIO)), std::string::npos) << outcome.second;
    }
    std::future<Outcome> later = waitAsync(run.group, &run.threads);
    ASSERT_TRUE(run.held.waitStarted(3));
    run.held.release(0);
    EXPECT_EQ(later.get(), Outcome(0, ""));
}

// Many callers at once: each must be answered only once a sync that started after its call
// ended.
TEST(SyncGroupTest, UnderLoadEachCallerIsCoveredByASyncThatStartedAfterItCame) {
    std::atomic<long long> started{0};
    std::atomic<long long> ended{0};
    SyncGroup group(
        [&](const std::string& dir) {
            ++started;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++ended;
            return dir.find("bad") != std::string::npos ? EIO : 0;
        },
        "/stores/b-recall");
    // A quarter of the callers' directories fail to sync: only those callers see the error.
    std::atomic<int> uncovered{0};
    std::vector<std::thread> callers;
    constexpr int kCallers = 16;
    constexpr int kCalls = 100;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            const std::string dir = i % 4 == 0 ? "/stores/b-recall/bad" : "/stores/b-recall/data";
            for (int call = 0; call < kCalls; ++call) {
                long long before = started;
                std::promise<void> answered;
                group.syncDirectories({dir}, [&](int error, const std::string&) {
                    if (error != (i % 4 == 0 ? EIO : 0) || ended <= before)
                        ++uncovered;
                    answered.set_value();
                });
                answered.get_future().wait();
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(uncovered, 0);
    EXPECT_EQ(group.directorySyncs(), started);
    EXPECT_LE(group.directorySyncs(), kCallers * kCalls);
}

// Entries made on many threads at once, in directories made on the way: every caller is
// answered, and the directories above are then known durable.
TEST(SyncGroupTest, EntriesFromManyThreadsAreAnsweredAndTheirDirectoriesKeptDurable) {
    std::mutex mutex;
    std::map<std::string, int> synced;
    SyncGroup group(
        [&](const std::string& dir) {
            std::lock_guard<std::mutex> lock(mutex);
            ++synced[dir];
            return 0;
        },
        "/s");
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&, i] {
            for (int file = 0; file < 50; ++file)
                group.syncEntriesOf(
                    "/s/data/0" + std::to_string(i % 4) + "/" + std::to_string(file), "/s/data",
                    [&](int error, const std::string&) { answered += error == 0 ? 1 : 0; });
        });
    }
    // The last leader returns only once every caller it took up is answered.
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(answered, 8 * 50);
    EXPECT_EQ(synced.size(), 5u) << "the data directory and its four subdirectories";
}

// An extent's own directory is synced every time; those above it up to the data directory
// the first time only, and a failure names the directory.
TEST(SyncGroupTest, AnEntrySyncsItsDirectoryAndTheOnesAboveItOnce) {
    std::vector<std::string> synced;
    SyncGroup group(
        [&](const std::string& dir) {
            synced.push_back(dir);
            return dir.find("absent") != std::string::npos ? ENOENT : 0;
        },
        "/s");
    std::string detail;
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"/s/data/01/02/7f", {"/s/data", "/s/data/01", "/s/data/01/02"}},
        {"/s/data/01/02/7e", {"/s/data/01/02"}},
        {"/s/data/01/03/00", {"/s/data/01/03"}},
        {"/s/data/absent/00", {"/s/data/absent"}},
    };
    for (const auto& entry : cases) {
        synced.clear();
        group.syncEntriesOf(entry.first, "/s/data",
                            [&](int, const std::string& why) { detail = why; });
        EXPECT_EQ(synced, entry.second) << entry.first;
    }
    EXPECT_NE(detail.find("/s/data/absent"), std::string::npos) << detail;

    tqtest::TempDir dir;
    SyncGroup real(dir.path());
    int error = 0;
    real.syncEntriesOf(dir.path() + "/data/00", dir.path(),
                       [&](int e, const std::string&) { error = e; });
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(real.syncData(-1, "a file", &detail), EBADF);
    EXPECT_NE(detail.find("a file"), std::string::npos) << detail;
}

}  // namespace
