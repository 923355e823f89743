#ifndef TQBLK_TOOLS_RETRY_H
#define TQBLK_TOOLS_RETRY_H

// Tries a request again after failures that may pass: exponential backoff with jitter,
// within a number of tries and a time budget, in waits that an interrupt cuts short.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

namespace tqtools {

// A stop that pending and future waits (and transfers that poll it) see at once.
class Interrupter {
  public:
    void interrupt();
    bool interrupted() const { return m_interrupted.load(std::memory_order_relaxed); }
    // Waits ms milliseconds; false when interrupted (before or meanwhile).
    bool sleep(long long ms);
    // Waits until when; false when interrupted (before or meanwhile).
    bool sleepUntil(std::chrono::steady_clock::time_point when);

  private:
    std::atomic<bool> m_interrupted{false};  // set under m_mutex, for m_wake
    std::mutex m_mutex;
    std::condition_variable m_wake;
};

struct RetryPolicy {
    int tries = 10;             // attempts, the first included
    double retrySeconds = 120;  // the time within which another attempt may start
    long long maxPauseMs = 5000;
    // The pause before try n+1 is drawn from [floor * p, p] with p = 100 ms * 2^(n-1), at
    // most maxPauseMs: 0 is full jitter.
    double jitterFloor = 0;
};

// How a request (or one attempt of it) came out.
struct Outcome {
    int error = 0;           // 0, or the errno the request fails with unless retried
    bool transient = false;  // another try may help
    std::string detail;
};

// One attempt: the time left for it, and its outcome.
struct Attempt : Outcome {
    long long budgetMs = 0;  // what is left of the request's time (at least 1)
};

// Runs attempts until one succeeds, one fails for good (its error and detail), the tries or
// the time are spent (the last failure, its detail ending in "(gave up after N tries in M
// ms)"), or stop is interrupted (ECANCELED, when an attempt failed or during a pause; the
// detail is then the caller's). *retries counts the pauses.
int runWithRetries(const RetryPolicy& policy, Interrupter& stop,
                   const std::function<void(Attempt*)>& attempt, std::string* detail,
                   std::atomic<long long>* retries = nullptr);

}  // namespace tqtools

#endif
