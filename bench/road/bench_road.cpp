// The whole recall road under load: readers of a device's data file, the emulator in the
// driver's place and tqblk-recalld bringing extents in from an image, for extent sizes of
// 4 KiB, 64 KiB and 1 MiB and 1, 2, 4, 8 and 16 service workers. Beside it, two floors measured in
// the same run: the emulator's bare recall round trip (fetch and answer, no file work) and
// the file work alone (temporary file written and moved in through the library, no driver).
// Prints one table. Runs as root, in a private mount namespace of its own, on a tmpfs there
// or on a fresh loop-mounted ext4.
//
//   bench_road [--quick] [--extent-kib N] [--workers N] [--fs tmpfs|ext4] [--no-sync] [--readers N]
//     --quick          fewer extents per run, for a smoke test
//     --extent-kib N   only this extent size (4, 64 or 1024), e.g. under a profiler
//     --workers N      only this worker count (1, 2, 4, 8 or 16)
//     --fs ext4        the stores and the image on an ext4 made for the run on a loop device
//                      (its backing file under /var/tmp, on the disk), removed after
//     --no-sync        run the service with --no-sync (it syncs by default; the floors
//                      never sync)
//     --readers N      readers of the data file (default 16): each has one recall in flight
//     --readahead N    run the service with --readahead N (none by default)

#include "RoadBench.h"
#include "TimeThreads.h"
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tqbench::check;
using tqbench::die;
using tqbench::fillPattern;
using tqbench::timeThreads;
using tqsys::UniqueFd;

// Syncing workers share their syncs, so it takes many of them in flight to fill each one.
constexpr int kWorkerCounts[] = {1, 2, 4, 8, 16};
constexpr size_t kRoads = sizeof kWorkerCounts / sizeof kWorkerCounts[0];
constexpr int kRepeats = 3;  // each rate is the best of this many runs: the machine is shared

struct Size {
    int extentSize;
    long long extents;  // per run
};

struct Row {
    int extentSize = 0;
    double roundTrip = 0;  // extents/s, best over the worker counts
    int roundTripWorkers = 0;
    double fileWork = 0;
    int fileWorkWorkers = 0;
    // The disk's own synced write rate, in extents/s: extent-size files each written and
    // fsync'ed by several writers, and one large file written and fdatasync'ed once.
    double syncedFiles = 0;
    int syncedFilesWorkers = 0;
    // What the durability rule costs by itself: the file work with each temporary file
    // fdatasync'ed before its move-in and the extent's folder fsync'ed after it.
    double durableFiles = 0;
    int durableFilesWorkers = 0;
    double bigFile = 0;
    double road[kRoads] = {};
    double roadBusy[kRoads] = {};  // share of the machine's CPU time in use during the best run
    double readBack = 0;           // reading the extents again once all are present
};

// CPU time of the whole machine so far: busy and total, in clock ticks.
struct CpuTimes {
    long long busy = 0;
    long long total = 0;
};

CpuTimes cpuTimes() {
    CpuTimes times;
    std::FILE* stat = std::fopen("/proc/stat", "re");
    if (stat == nullptr)
        return times;
    long long value[8] = {};
    if (std::fscanf(stat, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &value[0], &value[1],
                    &value[2], &value[3], &value[4], &value[5], &value[6], &value[7]) == 8) {
        for (long long v : value)
            times.total += v;
        times.busy = times.total - value[3] - value[4];  // less idle and waiting for I/O
    }
    std::fclose(stat);
    return times;
}

double readAll(const std::string& data, const Size& size, int readers) {
    return tqbench::readAll(data, size.extentSize, size.extents, readers);
}

struct Options {
    bool quick = false;
    int onlyExtentSize = 0;  // 0: all
    int onlyWorkers = 0;     // 0: all
    bool ext4 = false;
    bool sync = true;
    // Each reader waits for its extent, so they bound the recalls in flight.
    int readers = 16;
    int readahead = 0;  // the service's --readahead (0: none, as for a local image by default)
};

class Bench {
  public:
    Bench(std::string dir, const tqharness::EmulatorProcess& emulator, const Options& options)
        : m_dir(std::move(dir)), m_emulator(emulator), m_options(options) {}

    Row run(const Size& size);

  private:
    TqBlkRecallStore* newRecallStore(const std::string& name, const Size& size);
    TqBlkPrivateStore* newPrivateStore(const std::string& name, const Size& size);
    double roundTrip(const Size& size, int workers);
    double fileWork(const Size& size, int workers, bool durable = false);
    double syncedFiles(const Size& size, int workers);
    double bigFile(const Size& size);
    double road(const Size& size, int workers, const std::string& image, double* busy,
                double* readBack);
    std::string createDevice(const std::string& uuid, TqBlkBackingStore* privateStore,
                             TqBlkBackingStore* recallStore);
    void destroyDevice(const std::string& uuid);

    std::string m_dir;
    const tqharness::EmulatorProcess& m_emulator;
    const Options& m_options;
    TqBlkDriverUnix m_driver;
    int m_runs = 0;
};

TqBlkRecallStore* Bench::newRecallStore(const std::string& name, const Size& size) {
    return tqbench::newRecallStore(m_dir, name, size.extents, size.extentSize);
}

TqBlkPrivateStore* Bench::newPrivateStore(const std::string& name, const Size& size) {
    CZyError err;
    TqBlkPrivateStore* store =
        TqBlkPrivateStore::create((m_dir + "/" + name).c_str(), name.c_str(),
                                  size.extents * size.extentSize, size.extentSize, &err);
    check(err, "create a private store");
    return store;
}

std::string Bench::createDevice(const std::string& uuid, TqBlkBackingStore* privateStore,
                                TqBlkBackingStore* recallStore) {
    std::string name;
    check(m_driver.createDevice(uuid.c_str(), privateStore, recallStore, &name), "create a device");
    return name;
}

void Bench::destroyDevice(const std::string& uuid) {
    check(m_driver.destroyDevice(uuid.c_str()), "destroy a device");
}

// Every extent queued at once through the control file, then fetched and answered by the
// workers with nothing done in between.
double Bench::roundTrip(const Size& size, int workers) {
    std::string uuid = "round-trip-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> store(newRecallStore(uuid, size));
    createDevice(uuid, nullptr, store.get());
    tqbench::queueRecalls(m_emulator, uuid, size.extents);
    std::atomic<long long> next{0};
    double seconds = timeThreads(workers, [&](int) {
        while (next++ < size.extents) {
            long long extent = -1;
            check(m_driver.getRecallRequest(uuid.c_str(), &extent), "fetch a recall request");
            check(m_driver.recallDone(uuid.c_str(), extent), "answer a recall request");
        }
    });
    destroyDevice(uuid);
    check(TqBlkBackingStore::remove(store->getDir().c_str()), "remove a store");
    return static_cast<double>(size.extents) / seconds;
}

// What a service does to place an extent, without the driver: a temporary file written from
// memory and moved in, each worker with its own store object; durable: synced as the service
// syncs, each worker on its own, nothing shared.
double Bench::fileWork(const Size& size, int workers, bool durable) {
    std::string name = "file-work-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> created(newRecallStore(name, size));
    std::atomic<long long> next{0};
    double seconds = timeThreads(workers, [&](int) {
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> store(
            TqBlkRecallStore::open(created->getDir().c_str(), &err));
        check(err, "open the store");
        std::vector<char> bytes(static_cast<size_t>(size.extentSize));
        for (long long extent; (extent = next++) < size.extents;) {
            fillPattern(extent * size.extentSize, bytes.data(), bytes.size());
            tqbench::placeExtent(*store, extent, bytes, durable);
        }
    });
    check(TqBlkBackingStore::remove(created->getDir().c_str()), "remove a store");
    return static_cast<double>(size.extents) / seconds;
}

// Shows how far the service grouped its syncs: the line it logs at its end.
void reportSyncs(const std::string& log, const Size& size, int workers) {
    std::FILE* file = std::fopen(log.c_str(), "re");
    if (file == nullptr)
        return;
    char line[256];
    std::string last;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strstr(line, " syncs for ") != nullptr)
            last = line;
    }
    std::fclose(file);
    if (!last.empty())
        std::fprintf(stderr, "  %lld extents, %d workers: %s", size.extents, workers, last.c_str());
}

// Readers take the extents in turn and read each one whole from the data file while the
// service recalls them from the image.
double Bench::road(const Size& size, int workers, const std::string& image, double* busy,
                   double* readBack) {
    std::string uuid = "road-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> recall(newRecallStore(uuid + "-recall", size));
    std::unique_ptr<TqBlkPrivateStore> priv(newPrivateStore(uuid + "-private", size));
    std::string data = createDevice(uuid, priv.get(), recall.get()) + ".data";
    tqharness::ChildProcess service;
    std::vector<std::string> args = {TQBLK_RECALLD_PATH,      "--uuid",  uuid,  "--recall-store",
                                     recall->getDir(),        "--image", image, "--workers",
                                     std::to_string(workers), "--quiet"};
    if (!m_options.sync)
        args.push_back("--no-sync");
    if (m_options.readahead > 0) {
        args.push_back("--readahead");
        args.push_back(std::to_string(m_options.readahead));
    }
    std::string failure = service.start(args, m_dir + "/service.log");
    if (!failure.empty())
        die(failure);
    CpuTimes before = cpuTimes();
    double seconds = readAll(data, size, m_options.readers);
    CpuTimes after = cpuTimes();
    // Once more, now that every extent is present: what delivering the bytes costs alone.
    *readBack = static_cast<double>(size.extents) / readAll(data, size, m_options.readers);
    *busy = after.total > before.total ? static_cast<double>(after.busy - before.busy) /
                                             static_cast<double>(after.total - before.total)
                                       : 0;
    if (service.stop() != 0)
        die("the service failed; see " + m_dir + "/service.log");
    reportSyncs(m_dir + "/service.log", size, workers);
    destroyDevice(uuid);
    check(TqBlkBackingStore::remove(recall->getDir().c_str()), "remove a store");
    check(TqBlkBackingStore::remove(priv->getDir().c_str()), "remove a store");
    return static_cast<double>(size.extents) / seconds;
}

// Plain files of the extent's size, each written and fsync'ed, on the store's file system:
// what the disk gives a writer that waits for each file to be on it.
double Bench::syncedFiles(const Size& size, int workers) {
    const std::string dir = m_dir + "/synced-" + std::to_string(++m_runs);
    if (::mkdir(dir.c_str(), 0755) != 0)
        die("mkdir " + dir + ": " + std::strerror(errno));
    std::atomic<long long> next{0};
    double seconds = timeThreads(workers, [&](int) {
        std::vector<char> bytes(static_cast<size_t>(size.extentSize));
        for (long long extent; (extent = next++) < size.extents;) {
            fillPattern(extent * size.extentSize, bytes.data(), bytes.size());
            const std::string path = dir + "/" + std::to_string(extent);
            UniqueFd fd = tqsys::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (!fd.valid() || tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), 0) != 0 ||
                ::fsync(fd.get()) != 0)
                die("write and sync " + path + ": " + std::strerror(errno));
        }
    });
    for (long long extent = 0; extent < size.extents; ++extent)
        ::unlink((dir + "/" + std::to_string(extent)).c_str());
    ::rmdir(dir.c_str());
    return static_cast<double>(size.extents) / seconds;
}

// One file of all the run's bytes written and fdatasync'ed once: the disk's streaming rate.
double Bench::bigFile(const Size& size) {
    const std::string path = m_dir + "/big-" + std::to_string(++m_runs);
    std::vector<char> bytes(static_cast<size_t>(size.extentSize));
    double seconds = timeThreads(1, [&](int) {
        UniqueFd fd = tqsys::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (long long extent = 0; fd.valid() && extent < size.extents; ++extent) {
            fillPattern(extent * size.extentSize, bytes.data(), bytes.size());
            if (tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), extent * size.extentSize) !=
                0)
                die("write " + path);
        }
        if (!fd.valid() || ::fdatasync(fd.get()) != 0)
            die("write and sync " + path + ": " + std::strerror(errno));
    });
    ::unlink(path.c_str());
    return static_cast<double>(size.extents) / seconds;
}

Row Bench::run(const Size& size) {
    Row row;
    row.extentSize = size.extentSize;
    std::string image = tqbench::makeImage(m_dir + "/image-" + std::to_string(size.extentSize),
                                           size.extentSize, size.extents);
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        for (size_t i = 0; i < kRoads; ++i) {
            int workers = kWorkerCounts[i];
            if (m_options.onlyWorkers != 0 && workers != m_options.onlyWorkers)
                continue;
            double rate = roundTrip(size, workers);
            if (rate > row.roundTrip) {
                row.roundTrip = rate;
                row.roundTripWorkers = workers;
            }
            rate = fileWork(size, workers);
            if (rate > row.fileWork) {
                row.fileWork = rate;
                row.fileWorkWorkers = workers;
            }
            if (m_options.sync) {
                rate = syncedFiles(size, workers);
                if (rate > row.syncedFiles) {
                    row.syncedFiles = rate;
                    row.syncedFilesWorkers = workers;
                }
                rate = fileWork(size, workers, true);
                if (rate > row.durableFiles) {
                    row.durableFiles = rate;
                    row.durableFilesWorkers = workers;
                }
                if (i == 0 || m_options.onlyWorkers != 0)
                    row.bigFile = std::max(row.bigFile, bigFile(size));
            }
            double busy = 0;
            double readBack = 0;
            rate = road(size, workers, image, &busy, &readBack);
            row.readBack = std::max(row.readBack, readBack);
            if (rate > row.road[i]) {
                row.road[i] = rate;
                row.roadBusy[i] = busy;
            }
        }
    }
    ::unlink(image.c_str());
    return row;
}

std::string sizeText(int bytes) {
    return bytes >= 1 << 20 ? std::to_string(bytes >> 20) + " MiB"
                            : std::to_string(bytes >> 10) + " KiB";
}

std::string rateText(double rate, int extentSize) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f (%.0f)", rate, rate * extentSize / 1048576.0);
    return text;
}

std::string percent(double share) {
    return std::to_string(static_cast<int>(100.0 * share + 0.5)) + " %";
}

// Rates of pieces of work done one after the other on the same processors.
double serial(std::initializer_list<double> rates) {
    double seconds = 0;
    for (double rate : rates)
        seconds += 1.0 / rate;
    return 1.0 / seconds;
}

// Besides the floors, the best the road can do where their work and the read-back must share
// the same busy processors: their serial sum.
void printTable(const std::vector<Row>& rows, const Options& options) {
    std::vector<std::string> header = {"extent", "floor: round trip", "floor: file work",
                                       "read-back"};
    for (int workers : kWorkerCounts)
        header.push_back("road, " + std::to_string(workers) +
                         (workers == 1 ? " worker" : " workers"));
    for (const char* ratio : {"best/slower floor", "best/floors summed", "best/all three summed"})
        header.push_back(ratio);
    if (options.sync) {
        for (const char* synced :
             {"floor: synced files", "floor: one synced file", "floor: durable files",
              "best/synced files", "best/one synced file", "best/durable files"})
            header.push_back(synced);
    }
    std::vector<std::vector<std::string>> table = {header};
    for (const Row& row : rows) {
        double best = *std::max_element(row.road, row.road + kRoads);
        std::vector<std::string> line = {sizeText(row.extentSize),
                                         rateText(row.roundTrip, row.extentSize) + " [" +
                                             std::to_string(row.roundTripWorkers) + "]",
                                         rateText(row.fileWork, row.extentSize) + " [" +
                                             std::to_string(row.fileWorkWorkers) + "]",
                                         rateText(row.readBack, row.extentSize)};
        for (size_t i = 0; i < kRoads; ++i) {
            line.push_back(rateText(row.road[i], row.extentSize) + " {" + percent(row.roadBusy[i]) +
                           "}");
        }
        line.push_back(percent(best / std::min(row.roundTrip, row.fileWork)));
        line.push_back(percent(best / serial({row.roundTrip, row.fileWork})));
        line.push_back(percent(best / serial({row.roundTrip, row.fileWork, row.readBack})));
        if (options.sync) {
            line.push_back(rateText(row.syncedFiles, row.extentSize) + " [" +
                           std::to_string(row.syncedFilesWorkers) + "]");
            line.push_back(rateText(row.bigFile, row.extentSize));
            line.push_back(rateText(row.durableFiles, row.extentSize) + " [" +
                           std::to_string(row.durableFilesWorkers) + "]");
            line.push_back(percent(best / row.syncedFiles));
            line.push_back(percent(best / row.bigFile));
            line.push_back(percent(best / row.durableFiles));
        }
        table.push_back(line);
    }
    std::vector<size_t> widths(header.size(), 0);
    for (const auto& line : table) {
        for (size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], line[i].size());
    }
    std::printf(
        "\nextents/s (MiB/s), each the best of %d runs. Floors: best of 1, 2, 4, 8 and 16 "
        "threads [threads]. Read-back: the\nsame reads once every extent is present. "
        "Road: {share of all CPU time busy}.\nStores on %s; the service %s.\n\n",
        kRepeats, options.ext4 ? "a loop-mounted ext4" : "a tmpfs",
        options.sync ? "syncs (default)" : "runs with --no-sync");
    for (size_t row = 0; row < table.size(); ++row) {
        for (size_t i = 0; i < table[row].size(); ++i)
            std::printf("%s%-*s", i == 0 ? "" : " | ",
                        i + 1 == table[row].size() ? 0 : static_cast<int>(widths[i]),
                        table[row][i].c_str());
        std::printf("\n");
        if (row == 0) {
            size_t total = 0;
            for (size_t width : widths)
                total += width + 3;
            std::printf("%s\n", std::string(total - 3, '-').c_str());
        }
    }
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            options->quick = true;
        } else if (a == "--extent-kib" && hasValue) {
            options->onlyExtentSize = std::atoi(argv[++i]) << 10;
        } else if (a == "--workers" && hasValue) {
            options->onlyWorkers = std::atoi(argv[++i]);
        } else if (a == "--fs" && hasValue &&
                   (std::strcmp(argv[i + 1], "tmpfs") == 0 ||
                    std::strcmp(argv[i + 1], "ext4") == 0)) {
            options->ext4 = std::strcmp(argv[++i], "ext4") == 0;
        } else if (a == "--readers" && hasValue) {
            options->readers = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--readahead" && hasValue) {
            options->readahead = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--no-sync") {
            options->sync = false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: bench_road [--quick] [--extent-kib N] [--workers N] "
                     "[--fs tmpfs|ext4] [--no-sync] [--readers N] [--readahead N]\n");
        return 2;
    }
    std::vector<Row> rows;
    std::string failure;
    {
        tqbench::Scratch scratch("tqblk-bench-road");
        const std::string mounted = options.ext4 ? scratch.mountExt4(6LL << 30) : scratch.mount();
        failure = tqbench::runWithEmulator(mounted, [&](const tqharness::EmulatorProcess&
                                                            emulator) {
            Bench bench(scratch.dir(), emulator, options);
            const long long scale = options.quick ? 16 : 1;
            for (Size size : {Size{4 << 10, 16384}, Size{64 << 10, 8192}, Size{1 << 20, 1024}}) {
                if (options.onlyExtentSize != 0 && size.extentSize != options.onlyExtentSize)
                    continue;
                size.extents /= scale;
                std::fprintf(stderr, "extent size %s: %lld extents per run\n",
                             sizeText(size.extentSize).c_str(), size.extents);
                rows.push_back(bench.run(size));
            }
        });
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_road: %s\n", failure.c_str());
        return 1;
    }
    printTable(rows, options);
    return 0;
}
