// The recall service's bounded store against exact LRU. A 1 GiB device of 64 KiB extents over
// an image, its recall store on a tmpfs, tqblk-recalld run with --store-limit at a quarter of
// the device. Readers pick extents with Zipf popularity (exponent 0.8, then 1.1, then 1.1
// with one sequential read of the whole device in 1 MiB reads mixed in once the store is
// warm); the emulator's read log gives the trace. For each run: the service's miss ratio
// (recalls raised / reads), that of an exact LRU cache of the store's high mark replaying the
// same trace, and the most the store held (allocated blocks, sampled every 50 ms). With the
// scan, the ratios that count are those of the Zipf readers from the scan's start on: the
// scan's own reads miss in any cache, what matters is whether it pushes the hot extents out.
// Then what eviction costs the demand road: every extent read once, all misses, with a small
// limit (eviction never stops) and with none: its rate, and the service's processor time per
// GiB, which the machine's other load disturbs little. Runs as root, in a private mount
// namespace of its own.
//
//   bench_eviction [--quick] [--road-only] [--fs tmpfs|ext4] [--seconds N] [--readers N] [--rate N]
//     --quick      shorter runs and a quarter of the device for the demand road: a smoke run
//     --road-only  the demand road alone
//     --fs ext4    the image and the stores on an ext4 made for the run on a loop device (its
//                  backing file under /var/tmp, on the disk), where the service syncs
//     --seconds N  length of each Zipf run (default 60; 10 with --quick)
//     --readers N  Zipf readers (default 4)
//     --rate N     reads/s of each Zipf reader (default 1000); the scan reads at full speed

#include "RoadBench.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tqbench::check;
using tqbench::die;

constexpr int kExtentSize = 64 << 10;
constexpr long long kExtents = 16384;  // 1 GiB
constexpr long long kLimit = kExtents * kExtentSize / 4;
constexpr int kHighPercent = 95;  // the service's default watermarks
constexpr int kLowPercent = 80;
constexpr long long kHighMark = kLimit / 100 * kHighPercent;
constexpr long long kBatch = kLimit / 100 * (kHighPercent - kLowPercent);
constexpr long long kLruCapacity = kHighMark / kExtentSize;  // in extents
constexpr size_t kScanRead = 1 << 20;                        // as dd bs=1M reads
constexpr long long kRoadLimit = 32LL << 20;  // the demand road's limit: eviction never stops
constexpr int kRoadReaders = 16;
constexpr int kRoadRepeats = 3;  // each rate is the best of this many runs: the machine is shared

struct Options {
    bool quick = false;
    bool roadOnly = false;  // the demand road alone
    bool ext4 = false;      // on a loop-mounted ext4, not a tmpfs
    double seconds = 0;     // 0: the default for the mode
    int readers = 4;
    double rate = 1000;  // reads/s of each Zipf reader
};

// Exact LRU of `capacity` extents: a list in recency order and a map into it.
class Lru {
  public:
    explicit Lru(size_t capacity) : m_capacity(capacity) {}

    // Reads an extent; true when it was cached.
    bool access(long long extent) {
        auto it = m_where.find(extent);
        if (it != m_where.end()) {
            m_order.splice(m_order.begin(), m_order, it->second);
            return true;
        }
        m_order.push_front(extent);
        m_where.emplace(extent, m_order.begin());
        if (m_order.size() > m_capacity) {
            m_where.erase(m_order.back());
            m_order.pop_back();
        }
        return false;
    }

  private:
    size_t m_capacity;
    std::list<long long> m_order;  // most recent first
    std::unordered_map<long long, std::list<long long>::iterator> m_where;
};

// Extents drawn with Zipf popularity: rank r (from 1) has weight 1 / r^exponent; ranks are
// spread over the device by a fixed shuffle, so the hot extents do not sit together.
class Zipf {
  public:
    explicit Zipf(double exponent) : m_cdf(static_cast<size_t>(kExtents)), m_extent(m_cdf.size()) {
        double sum = 0;
        for (size_t rank = 0; rank < m_cdf.size(); ++rank)
            m_cdf[rank] = sum += std::pow(static_cast<double>(rank + 1), -exponent);
        for (double& value : m_cdf)
            value /= sum;
        std::iota(m_extent.begin(), m_extent.end(), 0LL);
        std::shuffle(m_extent.begin(), m_extent.end(), std::mt19937_64(42));
    }
    long long draw(std::mt19937_64& random) const {
        const double u = std::uniform_real_distribution<double>(0, 1)(random);
        const size_t rank =
            static_cast<size_t>(std::lower_bound(m_cdf.begin(), m_cdf.end(), u) - m_cdf.begin());
        return m_extent[std::min(rank, m_extent.size() - 1)];
    }

  private:
    std::vector<double> m_cdf;
    std::vector<long long> m_extent;
};

// The bytes a directory tree's files occupy (allocated blocks, each inode once).
long long treeBytes(const std::string& dir) {
    static thread_local std::set<ino_t>* seen;
    static thread_local long long bytes;
    std::set<ino_t> inodes;
    seen = &inodes;
    bytes = 0;
    ::nftw(
        dir.c_str(),
        [](const char*, const struct stat* st, int type, struct FTW*) {
            if (type == FTW_F && seen->insert(st->st_ino).second)
                bytes += static_cast<long long>(st->st_blocks) * 512;
            return 0;
        },
        16, FTW_PHYS | FTW_MOUNT);
    return bytes;
}

// Samples a store's bytes every 50 ms on a thread of its own, until destroyed; keeps the most.
class StoreSampler {
  public:
    explicit StoreSampler(std::string dir)
        : m_dir(std::move(dir)), m_thread([this] {
              while (!m_stop) {
                  m_max = std::max(m_max.load(), treeBytes(m_dir));
                  std::this_thread::sleep_for(std::chrono::milliseconds(50));
              }
          }) {}
    ~StoreSampler() {
        m_stop = true;
        m_thread.join();
    }
    long long max() const { return m_max; }

  private:
    std::string m_dir;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_max{0};
    std::thread m_thread;
};

// A run's trace from the emulator's read log: the extents read, in order, whether the read
// raised a recall, and the reading thread.
struct Trace {
    std::vector<long long> extents;
    std::vector<bool> recalled;
    std::vector<pid_t> readers;
    long long joined = 0;  // reads that waited for a recall another read raised
};

Trace readTrace(const std::string& log, std::streamoff from, const std::string& device) {
    std::ifstream in(log);
    if (!in)
        die("open " + log);
    in.seekg(from);
    Trace trace;
    std::string name, origin;
    long long extent = 0;
    pid_t reader = 0;
    while (in >> name >> extent >> origin >> reader) {
        if (name != device)
            continue;
        trace.extents.push_back(extent);
        trace.recalled.push_back(origin == "recalled");
        trace.readers.push_back(reader);
        trace.joined += origin == "joined";
    }
    return trace;
}

long long fileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Reads and misses of the service and of LRU over part of a trace.
struct Misses {
    long long reads = 0;
    long long recalls = 0;
    long long lru = 0;

    double ratio() const { return reads > 0 ? static_cast<double>(recalls) / reads : 0; }
    double lruRatio() const { return reads > 0 ? static_cast<double>(lru) / reads : 0; }
};

struct ZipfResult {
    std::string name;
    Misses all;
    Misses judged;     // the reads the goal is about: the Zipf readers' from the scan's start on
    Misses phases[3];  // with the scan, the Zipf readers' before, during and after it
    long long joined = 0;
    long long maxBytes = 0;
    double goal = 1.0;  // the service's miss ratio may be at most this share of LRU's
};

// One demand road: its rate, and the processor time the service spent per GiB, which the
// other work on a shared machine disturbs far less than the rate.
struct RoadRate {
    double mibPerSecond = 0;
    double cpuPerGib = 1e300;

    void keepBest(const RoadRate& other) {
        mibPerSecond = std::max(mibPerSecond, other.mibPerSecond);
        cpuPerGib = std::min(cpuPerGib, other.cpuPerGib);
    }
};

// Processor seconds (user and system) of the children reaped so far.
double childrenCpu() {
    struct rusage usage;
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class Bench {
  public:
    Bench(std::string dir, std::string readLog, const Options& options)
        : m_dir(std::move(dir)), m_readLog(std::move(readLog)), m_options(options) {
        m_image = tqbench::makeImage(m_dir + "/image", kExtentSize, kExtents);
    }

    ZipfResult zipf(const std::string& name, double exponent, bool scan);
    RoadRate road(long long limit, long long extents);

  private:
    // One device over a fresh recall store, served by tqblk-recalld (with --store-limit
    // unless limit is 0); finish stops the service and removes the device and the store.
    class Road {
      public:
        Road(Bench& bench, long long limit) : m_bench(bench) {
            m_uuid = "eviction-" + std::to_string(++bench.m_runs);
            m_store.reset(tqbench::newRecallStore(bench.m_dir, m_uuid, kExtents, kExtentSize));
            check(bench.m_driver.createDevice(m_uuid.c_str(), nullptr, m_store.get(), &m_name),
                  "create a device");
            std::vector<std::string> args = {TQBLK_RECALLD_PATH,
                                             "--uuid",
                                             m_uuid,
                                             "--recall-store",
                                             m_store->getDir(),
                                             "--image",
                                             bench.m_image,
                                             "--workers",
                                             "4",
                                             "--readahead",
                                             "0",
                                             "--quiet"};
            if (limit > 0) {
                args.push_back("--store-limit");
                args.push_back(std::to_string(limit));
            }
            std::string failure = m_service.start(args, bench.m_dir + "/service.log");
            if (!failure.empty())
                die(failure);
        }
        void finish() {
            if (m_service.stop() != 0)
                die("the service failed; see " + m_bench.m_dir + "/service.log");
            check(m_bench.m_driver.destroyDevice(m_uuid.c_str()), "destroy a device");
            check(TqBlkBackingStore::remove(m_store->getDir().c_str()), "remove a store");
        }
        std::string data() const { return m_name + ".data"; }
        const std::string& name() const { return m_name; }
        std::string storeDir() const { return m_store->getDir(); }

      private:
        Bench& m_bench;
        std::string m_uuid;
        std::string m_name;
        std::unique_ptr<TqBlkRecallStore> m_store;
        tqharness::ChildProcess m_service;
    };

    std::string m_dir;
    std::string m_readLog;
    std::string m_image;
    const Options& m_options;
    TqBlkDriverUnix m_driver;
    int m_runs = 0;
};

// Readers draw extents for the run's length. With scan, one more reader reads the whole
// device once in order from half the run's length on, and the run ends as long after the
// scan's end as the scan took: warm, scanned, recovering.
ZipfResult Bench::zipf(const std::string& name, double exponent, bool scan) {
    ZipfResult result;
    result.name = name;
    result.goal = scan ? 0.8 : 1.0;
    const double seconds = m_options.seconds;
    const Zipf popularity(exponent);
    const std::streamoff logStart = fileSize(m_readLog);
    Road road(*this, kLimit);
    const std::string data = road.data();
    std::atomic<double> scanEnd{scan ? 1e300 : 0};  // when the run may end, once scanned
    std::atomic<pid_t> scanner{0};
    std::atomic<bool> wrong{false};
    {
        StoreSampler sampler(road.storeDir());
        const Clock::time_point start = Clock::now();
        auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
        tqbench::timeThreads(m_options.readers + (scan ? 1 : 0), [&](int index) {
            tqsys::UniqueFd fd = tqsys::OpenRetrying(data.c_str(), O_RDONLY);
            if (!fd.valid())
                die("open " + data + ": " + std::strerror(errno));
            std::vector<char> bytes(kScanRead);
            auto readExtents = [&](long long extent, size_t size) {
                const long long offset = extent * kExtentSize;
                if (tqsys::PreadFull(fd.get(), bytes.data(), size, offset) != 0 ||
                    !tqbench::matchesPattern(offset, bytes.data(), size))
                    wrong = true;
            };
            if (index == m_options.readers) {
                scanner = static_cast<pid_t>(::syscall(SYS_gettid));
                while (elapsed() < seconds / 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                const double begin = elapsed();
                for (long long extent = 0; extent < kExtents && !wrong;
                     extent += kScanRead / kExtentSize)
                    readExtents(extent, kScanRead);
                scanEnd = 2 * elapsed() - begin;
                return;
            }
            // At a steady pace, as an application serving requests: a scan at full speed
            // meets readers that do not speed up with it.
            std::mt19937_64 random(static_cast<uint64_t>(index) * 7919 + 1);
            const auto step = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / m_options.rate));
            for (Clock::time_point due = start;
                 !wrong && elapsed() < std::max(scan ? 0 : seconds, scanEnd.load()); due += step) {
                std::this_thread::sleep_until(due);
                readExtents(popularity.draw(random), kExtentSize);
            }
        });
        result.maxBytes = sampler.max();
    }
    road.finish();
    if (wrong)
        die("a read returned wrong bytes");
    const Trace trace = readTrace(m_readLog, logStart, road.name());
    Lru lru(static_cast<size_t>(kLruCapacity));
    result.joined = trace.joined;
    size_t scanLast = 0;
    for (size_t i = 0; i < trace.readers.size(); ++i) {
        if (trace.readers[i] == scanner)
            scanLast = i;
    }
    bool scanned = !scan;
    for (size_t i = 0; i < trace.extents.size(); ++i) {
        const bool recalled = trace.recalled[i];
        const bool lruMissed = !lru.access(trace.extents[i]);
        const bool byScan = trace.readers[i] == scanner;
        const bool before = !scanned && !byScan;
        scanned = scanned || byScan;
        Misses* phase = !scan || byScan ? nullptr
                                        : &result.phases[before         ? 0
                                                         : i < scanLast ? 1
                                                                        : 2];
        for (Misses* misses : {&result.all, scanned && !byScan ? &result.judged : nullptr, phase}) {
            if (misses == nullptr)
                continue;
            ++misses->reads;
            misses->recalls += recalled;
            misses->lru += lruMissed;
        }
    }
    return result;
}

// The demand road: the device's first extents each read once by many readers, every read a
// recall. Returns MiB/s.
RoadRate Bench::road(long long limit, long long extents) {
    Road road(*this, limit);
    const double cpuBefore = childrenCpu();
    const double seconds = tqbench::readAll(road.data(), kExtentSize, extents, kRoadReaders);
    road.finish();  // reaps the service, whose time then counts
    const double gib = static_cast<double>(extents) * kExtentSize / (1 << 30);
    return RoadRate{gib * 1024 / seconds, (childrenCpu() - cpuBefore) / gib};
}

const char* verdict(bool met) {
    return met ? "pass" : "FAIL";
}

double mib(long long bytes) {
    return static_cast<double>(bytes) / 1048576.0;
}

void printZipf(const std::vector<ZipfResult>& runs, const Options& options) {
    std::printf(
        "\n1 GiB device of %d KiB extents, recall store on %s, --store-limit %.0f MiB "
        "(watermarks %d,%d), %d Zipf readers of %.0f reads/s each, %.0f s per run.\nLRU: exact, "
        "%lld extents (the "
        "high mark; the service's store swings between the low and the high mark). Miss "
        "ratio: recalls raised / reads.\n\n",
        kExtentSize >> 10, options.ext4 ? "a loop-mounted ext4" : "a tmpfs", mib(kLimit),
        kHighPercent, kLowPercent, options.readers, options.rate, options.seconds, kLruCapacity);
    std::printf("%-16s | %8s | %7s | %6s | %7s | %7s | %-26s | %-20s\n", "run", "reads", "recalls",
                "joined", "service", "LRU", "judged: service/LRU = x", "store max MiB");
    std::printf("%s\n", std::string(116, '-').c_str());
    const long long ceiling = kLimit + kBatch;
    for (const ZipfResult& run : runs) {
        const Misses& judged = run.judged;
        const double share = judged.lruRatio() > 0 ? judged.ratio() / judged.lruRatio() : 0;
        char goal[48];
        std::snprintf(goal, sizeof goal, "%.4f/%.4f = %.2f %s", judged.ratio(), judged.lruRatio(),
                      share, verdict(share <= run.goal + 1e-9));
        char store[48];
        std::snprintf(store, sizeof store, "%.1f / %.1f %s", mib(run.maxBytes), mib(ceiling),
                      verdict(run.maxBytes <= ceiling));
        std::printf("%-16s | %8lld | %7lld | %6lld | %7.4f | %7.4f | %-26s | %-20s\n",
                    run.name.c_str(), run.all.reads, run.all.recalls, run.joined, run.all.ratio(),
                    run.all.lruRatio(), goal, store);
        if (run.phases[0].reads > 0)
            std::printf(
                "%-16s   Zipf readers before / during / after the scan: service %.4f / "
                "%.4f / %.4f, LRU %.4f / %.4f / %.4f\n",
                "", run.phases[0].ratio(), run.phases[1].ratio(), run.phases[2].ratio(),
                run.phases[0].lruRatio(), run.phases[1].lruRatio(), run.phases[2].lruRatio());
    }
    std::printf(
        "\nJudged: all reads of the Zipf runs; with the scan, the Zipf readers' reads from the "
        "scan's start on (the scan reads the whole\ndevice once from half the run on; the run "
        "ends as long after the scan as the scan took). Goals: x <= 1 on the Zipf runs, <= 0.8\n"
        "with the scan; store max (most seen, every 50 ms, whole store) <= limit + one "
        "high-to-low batch.\n");
}

void printResults(const std::vector<ZipfResult>& runs, const RoadRate& limited,
                  const RoadRate& unlimited, const Options& options) {
    if (!runs.empty())
        printZipf(runs, options);
    const double cost =
        unlimited.mibPerSecond > 0 ? 1.0 - limited.mibPerSecond / unlimited.mibPerSecond : 0;
    std::printf(
        "\nDemand road (%d readers, every read a recall, best of %d): --store-limit %.0f MiB "
        "%.0f MiB/s, no limit %.0f MiB/s; eviction costs %.1f %% (goal < 10 %%): %s\n"
        "The service's processor time per GiB: %.2f s with the limit, %.2f s without (%+.1f %%).\n",
        kRoadReaders, options.quick ? 1 : kRoadRepeats, mib(kRoadLimit), limited.mibPerSecond,
        unlimited.mibPerSecond, 100.0 * cost, verdict(cost < 0.10), limited.cpuPerGib,
        unlimited.cpuPerGib, 100.0 * (limited.cpuPerGib / unlimited.cpuPerGib - 1));
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            options->quick = true;
        } else if (a == "--road-only") {
            options->roadOnly = true;
        } else if (a == "--fs" && hasValue &&
                   (std::strcmp(argv[i + 1], "tmpfs") == 0 ||
                    std::strcmp(argv[i + 1], "ext4") == 0)) {
            options->ext4 = std::strcmp(argv[++i], "ext4") == 0;
        } else if (a == "--seconds" && hasValue) {
            options->seconds = std::max(1.0, std::atof(argv[++i]));
        } else if (a == "--readers" && hasValue) {
            options->readers = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--rate" && hasValue) {
            options->rate = std::max(1.0, std::atof(argv[++i]));
        } else {
            return false;
        }
    }
    if (options->seconds == 0)
        options->seconds = options->quick ? 10 : 60;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: bench_eviction [--quick] [--road-only] [--fs tmpfs|ext4] "
                     "[--seconds N] [--readers N] [--rate N]\n");
        return 2;
    }
    std::vector<ZipfResult> runs;
    RoadRate limited;
    RoadRate unlimited;
    std::string failure;
    {
        tqbench::Scratch scratch("tqblk-bench-eviction");
        const std::string mountFailure =
            options.ext4 ? scratch.mountExt4(6LL << 30) : scratch.mount();
        const std::string readLog = std::string(scratch.dir()) + "/reads.log";
        failure = tqbench::runWithEmulator(
            mountFailure,
            [&](const tqharness::EmulatorProcess&) {
                Bench bench(scratch.dir(), readLog, options);
                const struct {
                    const char* name;
                    double exponent;
                    bool scan;
                } kRuns[] = {{"zipf 0.8", 0.8, false},
                             {"zipf 1.1", 1.1, false},
                             {"zipf 1.1 + scan", 1.1, true}};
                for (const auto& run : kRuns) {
                    if (options.roadOnly)
                        break;
                    std::fprintf(stderr, "%s...\n", run.name);
                    runs.push_back(bench.zipf(run.name, run.exponent, run.scan));
                }
                const long long extents = options.quick ? kExtents / 4 : kExtents;
                for (int repeat = 0; repeat < (options.quick ? 1 : kRoadRepeats); ++repeat) {
                    std::fprintf(stderr, "demand road, run %d...\n", repeat + 1);
                    limited.keepBest(bench.road(kRoadLimit, extents));
                    unlimited.keepBest(bench.road(0, extents));
                }
            },
            {"--read-log=" + readLog});
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_eviction: %s\n", failure.c_str());
        return 1;
    }
    printResults(runs, limited, unlimited, options);
    return 0;
}
