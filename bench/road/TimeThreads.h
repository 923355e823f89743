#ifndef TQBLK_BENCH_TIMETHREADS_H
#define TQBLK_BENCH_TIMETHREADS_H

#include <chrono>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace tqbench {

// Runs body(thread index) on n threads; returns the seconds from start to the last end.
// A failure in a thread is passed on once all have ended.
inline double timeThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> failures(static_cast<size_t>(n));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&body, &failures, i] {
            try {
                body(i);
            } catch (...) {
                failures[static_cast<size_t>(i)] = std::current_exception();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tqbench

#endif
