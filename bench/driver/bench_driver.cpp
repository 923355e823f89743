// The cost of one driver request round trip: TqBlkDriverUnix::checkDevice in a loop, and the
// same TQBLK_CHECK_DEVICE request as a bare ioctl on the same descriptor, with 1 and 2 threads
// sharing one opened driver object. The emulator answers; the library's own overhead is the
// difference, printed as a ratio after the usual table.

#include "EmulatorHarness.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqblk/unix/tqblk_admin.h>
#include <tqsys/Retry.h>

#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUuid[] = "bench-device";
TqBlkDriverUnix* g_driver = nullptr;
int g_fd = -1;

bool bareCheck() {
    tqblk_check_device record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.uuid, kUuid, sizeof kUuid);
    const int result =
        tqsys::RetryOnEintr([&] { return ::ioctl(g_fd, TQBLK_CHECK_DEVICE, &record); });
    benchmark::DoNotOptimize(record);
    return result == 0 && record.ready != 0;
}

bool libraryCheck() {
    bool ready = false;
    CZyError err = g_driver->checkDevice(kUuid, &ready);
    benchmark::DoNotOptimize(ready);
    return !err.IsError() && ready;
}

void BM_BareIoctl(benchmark::State& state) {
    for (auto _ : state) {
        if (!bareCheck())
            state.SkipWithError("bare ioctl failed");
    }
}
BENCHMARK(BM_BareIoctl)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(2);

void BM_CheckDevice(benchmark::State& state) {
    for (auto _ : state) {
        if (!libraryCheck())
            state.SkipWithError("checkDevice failed");
    }
}
BENCHMARK(BM_CheckDevice)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(2);

double microseconds(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

double median(std::vector<double>& samples) {
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// Bare and library calls taken in turn, each timed on its own, so that both meet the same
// machine load; the medians of the two series give the library's overhead with far less
// noise than two separate runs.
void BM_Paired(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> bare, library;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        bool ok = bareCheck();
        Clock::time_point middle = Clock::now();
        ok = libraryCheck() && ok;
        Clock::time_point end = Clock::now();
        if (!ok)
            state.SkipWithError("a check failed");
        bare.push_back(microseconds(middle - start));
        library.push_back(microseconds(end - middle));
    }
    if (bare.empty())
        return;
    double bareMedian = median(bare);
    double libraryMedian = median(library);
    state.counters["bare_us"] = benchmark::Counter(bareMedian, benchmark::Counter::kAvgThreads);
    state.counters["library_us"] =
        benchmark::Counter(libraryMedian, benchmark::Counter::kAvgThreads);
    state.counters["overhead_pct"] =
        benchmark::Counter((libraryMedian / bareMedian - 1) * 100, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_Paired)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(2);

// Keeps the medians of the repeated runs besides printing the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name != "median")
                continue;
            Result& result = results[run.run_name.str()];
            result.perCall = run.GetAdjustedRealTime();
            for (const auto& counter : run.counters)
                result.counters[counter.first] = counter.second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    struct Result {
        double perCall = 0;  // microseconds
        std::map<std::string, double> counters;
    };
    std::map<std::string, Result> results;  // by run name
};

void printRatios(const std::map<std::string, RatioReporter::Result>& results) {
    std::printf("\nOne TQBLK_CHECK_DEVICE round trip, microseconds per call (medians):\n");
    for (const char* threads : {"1", "2"}) {
        std::string suffix = std::string("/real_time/threads:") + threads;
        auto bare = results.find("BM_BareIoctl" + suffix);
        auto library = results.find("BM_CheckDevice" + suffix);
        auto paired = results.find("BM_Paired" + suffix);
        if (bare == results.end() || library == results.end() || paired == results.end())
            continue;
        std::printf(
            "  %s thread(s): separate runs: bare ioctl %.2f, checkDevice %.2f (%+.1f %%); "
            "taken in turn: bare %.2f, checkDevice %.2f (%+.1f %%)\n",
            threads, bare->second.perCall, library->second.perCall,
            (library->second.perCall / bare->second.perCall - 1) * 100,
            paired->second.counters.at("bare_us"), paired->second.counters.at("library_us"),
            paired->second.counters.at("overhead_pct"));
    }
}

int fail(const std::string& what) {
    std::fprintf(stderr, "bench_driver: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string why = tqharness::EnterPrivateNamespace();
    if (!why.empty())
        return fail(why);
    tqharness::EmulatorProcess emulator;
    why = emulator.start(tqharness::kDriverDir);
    if (!why.empty())
        return fail(why);

    char dir[] = "/tmp/tqblk-bench-driver-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return fail("mkdtemp failed");
    CZyError err;
    std::unique_ptr<TqBlkBackingStore> store(TqBlkPrivateStore::create(
        (std::string(dir) + "/store").c_str(), "bench", 1 << 30, 1 << 20, &err));
    TqBlkDriverUnix driver;
    std::string name;
    if (!err.IsError())
        err = driver.createDevice(kUuid, store.get(), nullptr, &name);
    // Opened before the threads share it.
    if (!err.IsError())
        err = driver.getFD(&g_fd);
    if (err.IsError())
        return fail(err.GetDescription());
    g_driver = &driver;

    // Medians of runs taken in random order, so neither a slow run nor the order of the
    // benchmarks decides the ratio. Options given on the command line come later and win.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=10";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {&repetitions[0], &interleave[0], &aggregates[0]});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter.results);
    benchmark::Shutdown();

    driver.destroyDevice(kUuid);
    TqBlkBackingStore::remove((std::string(dir) + "/store").c_str());
    ::rmdir(dir);
    return 0;
}
