#include "Retry.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>

namespace tqtools {

void Interrupter::interrupt() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_interrupted = true;
    m_wake.notify_all();
}

bool Interrupter::sleep(long long ms) {
    return sleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

bool Interrupter::sleepUntil(std::chrono::steady_clock::time_point when) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_until(lock, when, [this] { return m_interrupted.load(); });
}

int runWithRetries(const RetryPolicy& policy, Interrupter& stop,
                   const std::function<void(Attempt*)>& attempt, std::string* detail,
                   std::atomic<long long>* retries) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + milliseconds(static_cast<long long>(policy.retrySeconds * 1000));
    long long pause = 100;
    thread_local std::minstd_rand random(std::random_device{}());
    for (int tries = 1;; ++tries) {
        Attempt a;
        a.budgetMs =
            std::max<long long>(1, duration_cast<milliseconds>(deadline - Clock::now()).count());
        attempt(&a);
        if (a.error == ECANCELED || (a.error != 0 && stop.interrupted()))
            return ECANCELED;
        if (a.error == 0)
            return 0;
        if (!a.transient) {
            *detail = a.detail;
            return a.error;
        }
        const long long wait = std::uniform_int_distribution<long long>(
            static_cast<long long>(pause * policy.jitterFloor), pause)(random);
        if (tries >= policy.tries || Clock::now() + milliseconds(wait) > deadline) {
            const long long ms = duration_cast<milliseconds>(Clock::now() - start).count();
            *detail = a.detail + " (gave up after " + std::to_string(tries) + " tries in " +
                      std::to_string(ms) + " ms)";
            return a.error;
        }
        if (retries != nullptr)
            ++*retries;
        if (!stop.sleep(wait))
            return ECANCELED;
        pause = std::min(pause * 2, policy.maxPauseMs);
    }
}

}  // namespace tqtools
