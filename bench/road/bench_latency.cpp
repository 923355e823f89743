// The first read of a missing extent: one reader reads a device's extents once each, in
// order or in a random order, while tqblk-recalld recalls each on demand (--no-sync,
// --readahead 0) from an image file, another store (--source-store), nginx on 127.0.0.1 and,
// with --s3, an S3 gateway, for 64 KiB and 1 MiB extents; and once more from the image with
// the service syncing (its default) onto a loop-mounted ext4. Each read is timed alone; the
// table gives p50/p90/p99 per extent beside the floors measured in the same run, per extent
// too:
//   round trip  a recall's fetch and answer through the emulator, the request queued before
//   file work   a temporary file written and moved in through the library; in the syncing
//               rows one synced write instead: write, fdatasync, rename, fsync of the folder
//   warm read   the same read through the device once the extent is present
//   GET         (HTTP, S3) one ranged GET of the extent on a kept-alive connection by libcurl
//   peer        (HTTP, --peer) what a user would otherwise run: nbdkit's curl plugin behind
//               its cache filter (cache-on-read, its block the extent's size so that a miss
//               is one GET, its cache on the same tmpfs), read through libnbd with one
//               connection, one request of the extent's size per extent, in the same order;
//               p50/p90/p99 per extent
// Reads start once the service says it serves (READY=1 on NOTIFY_SOCKET). Runs as root in a
// private mount namespace, its stores on a tmpfs there. Each case runs
// --repeat times (default 3); every figure is the median over the repeats.
//
//   bench_latency [--quick] [--repeat N] [--http URL --www DIR] [--peer] [--s3]
//                 [--only image|store|http|s3|sync] [--extent-kib N] [--only-http]
//     --http URL --www DIR  nginx serving DIR at URL (tests/remote/nginx.sh start prints
//                           both); bench/road/latency.sh starts one and passes them
//     --s3                  also from the S3 gateway that TQBLK_TEST_S3_ENDPOINT, _ACCESS and
//                           _SECRET name (latency.sh --s3 starts a throwaway Ceph one)
//     --only SOURCE         only that source's rows (sync: the syncing image rows)
//     --extent-kib N        only this extent size (64 or 1024), e.g. under a profiler

#include "RoadBench.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef TQBLK_BENCH_LIBNBD
#include <libnbd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tqbench::check;
using tqbench::die;
using tqbench::matchesPattern;
using tqsys::UniqueFd;

constexpr char kBucket[] = "tqblk-latency";

double micros(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Percentiles {
    double p50 = 0, p90 = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> samples) {
    Percentiles p;
    if (samples.empty())
        return p;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
    };
    p.p50 = at(0.50);
    p.p90 = at(0.90);
    p.p99 = at(0.99);
    return p;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    std::string source;  // "image", "store", "http" or "s3"
    int extentSize;
    long long extents;
    bool random;
    bool sync;  // the service syncs, its recall store on the loop-mounted ext4
};

// Where a case's extents come from.
struct Inputs {
    std::string image;  // the image file (image; what nginx serves for http)
    std::string store;  // the source store (store)
    std::string url;    // what the service is given (http, s3)
    std::string get;    // what the GET floor and the peer fetch (http, s3)
};

// One run's figures, in microseconds per extent.
struct Figures {
    Percentiles road, peer;
    double roundTrip = 0, fileWork = 0, warmRead = 0, get = 0;
    double warmP99 = 0;  // the machine's own tail, beside the road's
    double start = 0;    // milliseconds from the service's start to its READY=1
};

struct Options {
    bool quick = false;
    int repeat = 3;
    std::string http;  // nginx's URL, or empty
    std::string www;   // the folder it serves
    bool peer = false;
    bool s3 = false;
    std::string only;  // one source's rows, "sync" for the syncing ones, or empty for all
    int onlyExtentSize = 0;
};

std::string env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        die(std::string(name) + " is not set: run bench/road/latency.sh --s3");
    return value;
}

// A kept-alive libcurl handle with its fixed options set once: only the range changes. With
// s3, requests are signed with the test gateway's keys.
class RangedGet {
  public:
    RangedGet(const std::string& url, bool s3) : m_curl(curl_easy_init()) {
        if (m_curl == nullptr)
            die("curl_easy_init failed");
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &RangedGet::collect);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(m_curl, CURLOPT_TCP_NODELAY, 1L);
        if (s3) {
            m_access = env("TQBLK_TEST_S3_ACCESS");
            m_secret = env("TQBLK_TEST_S3_SECRET");
            curl_easy_setopt(m_curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
            curl_easy_setopt(m_curl, CURLOPT_USERNAME, m_access.c_str());
            curl_easy_setopt(m_curl, CURLOPT_PASSWORD, m_secret.c_str());
            m_headers = curl_slist_append(m_headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
            curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        }
    }
    ~RangedGet() {
        curl_easy_cleanup(m_curl);
        curl_slist_free_all(m_headers);
    }
    RangedGet(const RangedGet&) = delete;
    RangedGet& operator=(const RangedGet&) = delete;

    // Fetches [offset, offset + size) and checks it.
    void get(long long offset, int size) {
        m_bytes.clear();
        std::string range = std::to_string(offset) + "-" + std::to_string(offset + size - 1);
        curl_easy_setopt(m_curl, CURLOPT_RANGE, range.c_str());
        long status = 0;
        if (curl_easy_perform(m_curl) != CURLE_OK ||
            curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 206 || m_bytes.size() != static_cast<size_t>(size) ||
            !matchesPattern(offset, m_bytes.data(), m_bytes.size()))
            die("the floor's GET of " + range + " failed: HTTP " + std::to_string(status));
    }

    // Sends body with PUT (creating a bucket where it is empty); 409 (it exists) is fine.
    void put(const std::vector<char>& body) {
        curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        long status = 0;
        if (curl_easy_perform(m_curl) != CURLE_OK ||
            curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            (status != 200 && status != 409))
            die("a PUT to the S3 gateway failed: HTTP " + std::to_string(status));
    }

  private:
    static size_t collect(char* data, size_t size, size_t count, void* user) {
        static_cast<RangedGet*>(user)->m_bytes.append(data, size * count);
        return size * count;
    }

    CURL* m_curl;
    struct curl_slist* m_headers = nullptr;
    std::string m_access, m_secret;
    std::string m_bytes;
};

std::vector<std::string> s3Environment() {
    return {"AWS_ACCESS_KEY_ID=" + env("TQBLK_TEST_S3_ACCESS"),
            "AWS_SECRET_ACCESS_KEY=" + env("TQBLK_TEST_S3_SECRET"),
            "AWS_ENDPOINT_URL=" + env("TQBLK_TEST_S3_ENDPOINT")};
}

class Bench {
  public:
    // dir: the tmpfs; syncDir: the ext4 the syncing rows keep their stores on.
    Bench(std::string dir, std::string syncDir, const tqharness::EmulatorProcess& emulator,
          const Options& options)
        : m_dir(std::move(dir)),
          m_syncDir(std::move(syncDir)),
          m_emulator(emulator),
          m_options(options) {}

    Figures run(const Case& c, const Inputs& inputs);

  private:
    TqBlkRecallStore* newStore(const std::string& name, const Case& c, bool onExt4 = false) {
        return tqbench::newRecallStore(onExt4 ? m_syncDir : m_dir, name, c.extents, c.extentSize);
    }
    std::vector<long long> order(const Case& c);
    double roundTrip(const Case& c);
    double fileWork(const Case& c);
    double syncedWrite(const Case& c);
    double get(const Case& c, const Inputs& inputs);
    Percentiles peer(const Case& c, const std::string& url);

    std::string m_dir;
    std::string m_syncDir;
    const tqharness::EmulatorProcess& m_emulator;
    const Options& m_options;
    TqBlkDriverUnix m_driver;
    int m_runs = 0;
};

std::vector<long long> Bench::order(const Case& c) {
    std::vector<long long> extents(static_cast<size_t>(c.extents));
    for (long long i = 0; i < c.extents; ++i)
        extents[static_cast<size_t>(i)] = i;
    if (c.random)
        std::shuffle(extents.begin(), extents.end(), std::mt19937_64(c.extents));
    return extents;
}

Figures Bench::run(const Case& c, const Inputs& inputs) {
    Figures figures;
    const std::string uuid = "latency-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> recall(newStore(uuid, c, c.sync));
    std::string name;
    check(m_driver.createDevice(uuid.c_str(), nullptr, recall.get(), &name), "create a device");
    std::vector<std::string> args = {TQBLK_RECALLD_PATH, "--uuid",      uuid, "--recall-store",
                                     recall->getDir(),   "--readahead", "0",  "--quiet"};
    if (!c.sync)
        args.push_back("--no-sync");
    if (c.source == "image")
        args.insert(args.end(), {"--image", inputs.image});
    else if (c.source == "store")
        args.insert(args.end(), {"--source-store", inputs.store});
    else
        args.insert(args.end(), {"--source", inputs.url});
    tqbench::ReadySocket ready(m_dir + "/ready.sock");
    std::vector<std::string> environment = {ready.environment()};
    if (c.source == "s3")
        for (const std::string& entry : s3Environment())
            environment.push_back(entry);
    tqharness::ChildProcess service;
    const Clock::time_point started = Clock::now();
    std::string failure = service.start(args, m_dir + "/service.log", environment);
    if (!failure.empty())
        die(failure);
    if (!ready.wait(std::chrono::seconds(30)))
        die("the service did not say it serves; see " + m_dir + "/service.log");
    figures.start = micros(started) / 1000;
    const std::string data = name + ".data";
    UniqueFd fd = tqsys::OpenRetrying(data.c_str(), O_RDONLY);
    if (!fd.valid())
        die("open " + data + ": " + std::strerror(errno));
    std::vector<char> bytes(static_cast<size_t>(c.extentSize));
    const std::vector<long long> extents = order(c);
    auto readAll = [&](std::vector<double>* times) {
        for (long long extent : extents) {
            const long long offset = extent * c.extentSize;
            const Clock::time_point start = Clock::now();
            if (tqsys::PreadFull(fd.get(), bytes.data(), bytes.size(), offset) != 0)
                die("read " + data + ": " + std::strerror(errno));
            times->push_back(micros(start));
            if (!matchesPattern(offset, bytes.data(), bytes.size()))
                die("a read returned wrong bytes");
        }
    };
    std::vector<double> first, warm;
    readAll(&first);
    readAll(&warm);
    fd.reset();
    if (service.stop() != 0)
        die("the service failed; see " + m_dir + "/service.log");
    check(m_driver.destroyDevice(uuid.c_str()), "destroy a device");
    check(TqBlkBackingStore::remove(recall->getDir().c_str()), "remove a store");
    figures.road = percentiles(first);
    figures.warmRead = percentiles(warm).p50;
    figures.warmP99 = percentiles(warm).p99;
    figures.roundTrip = roundTrip(c);
    figures.fileWork = c.sync ? syncedWrite(c) : fileWork(c);
    if (!inputs.get.empty())
        figures.get = get(c, inputs);
    if (m_options.peer && c.source == "http")
        figures.peer = peer(c, inputs.get);
    return figures;
}

// Every extent queued at once through the control file, then each fetched and answered.
double Bench::roundTrip(const Case& c) {
    const std::string uuid = "round-trip-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> store(newStore(uuid, c));
    std::string name;
    check(m_driver.createDevice(uuid.c_str(), nullptr, store.get(), &name), "create a device");
    tqbench::queueRecalls(m_emulator, uuid, c.extents);
    std::vector<double> times;
    for (long long i = 0; i < c.extents; ++i) {
        long long extent = -1;
        const Clock::time_point start = Clock::now();
        check(m_driver.getRecallRequest(uuid.c_str(), &extent), "fetch a recall request");
        check(m_driver.recallDone(uuid.c_str(), extent), "answer a recall request");
        times.push_back(micros(start));
    }
    check(m_driver.destroyDevice(uuid.c_str()), "destroy a device");
    check(TqBlkBackingStore::remove(store->getDir().c_str()), "remove a store");
    return percentiles(times).p50;
}

// A temporary file written from memory and moved in, as the service places an extent.
double Bench::fileWork(const Case& c) {
    const std::string name = "file-work-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> store(newStore(name, c));
    std::vector<char> bytes(static_cast<size_t>(c.extentSize));
    std::vector<double> times;
    for (long long extent : order(c)) {
        tqbench::fillPattern(extent * c.extentSize, bytes.data(), bytes.size());
        const Clock::time_point start = Clock::now();
        tqbench::placeExtent(*store, extent, bytes);
        times.push_back(micros(start));
    }
    check(TqBlkBackingStore::remove(store->getDir().c_str()), "remove a store");
    return percentiles(times).p50;
}

// One durable file on the ext4 per extent, as plainly as it can be made: written, fdatasync'ed,
// renamed into place and its folder fsync'ed.
double Bench::syncedWrite(const Case& c) {
    const std::string dir = m_syncDir + "/synced-" + std::to_string(++m_runs);
    if (::mkdir(dir.c_str(), 0755) != 0)
        die("mkdir " + dir + ": " + std::strerror(errno));
    UniqueFd dirFd = tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    std::vector<char> bytes(static_cast<size_t>(c.extentSize));
    std::vector<double> times;
    const std::string temp = dir + "/temp";
    for (long long extent : order(c)) {
        tqbench::fillPattern(extent * c.extentSize, bytes.data(), bytes.size());
        const std::string path = dir + "/" + std::to_string(extent);
        const Clock::time_point start = Clock::now();
        UniqueFd fd = tqsys::OpenRetrying(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!fd.valid() || tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), 0) != 0 ||
            ::fdatasync(fd.get()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0 ||
            !dirFd.valid() || ::fsync(dirFd.get()) != 0)
            die("write and sync " + path + ": " + std::strerror(errno));
        times.push_back(micros(start));
    }
    ::unlink(temp.c_str());
    for (long long extent = 0; extent < c.extents; ++extent)
        ::unlink((dir + "/" + std::to_string(extent)).c_str());
    ::rmdir(dir.c_str());
    return percentiles(times).p50;
}

double Bench::get(const Case& c, const Inputs& inputs) {
    RangedGet getter(inputs.get, c.source == "s3");
    getter.get(0, c.extentSize);  // opens the connection
    std::vector<double> times;
    for (long long extent : order(c)) {
        const Clock::time_point start = Clock::now();
        getter.get(extent * c.extentSize, c.extentSize);
        times.push_back(micros(start));
    }
    return percentiles(times).p50;
}

// nbdkit's curl plugin behind its cache filter, keeping what it reads (cache-on-read) in a
// temporary file on the same tmpfs as the road's stores, in blocks of the extent's size (its
// default, 64 KiB, would fetch a 1 MiB extent with 16 GETs), started for this case alone and
// stopped by its PID; read through libnbd on one connection, one request of the extent's size
// per extent, in the case's order, each timed alone and checked. The connection is made before
// the first request, as the road's device exists before its first read.
Percentiles Bench::peer(const Case& c, const std::string& url) {
#ifdef TQBLK_BENCH_LIBNBD
    const std::string socket = m_dir + "/peer-" + std::to_string(++m_runs) + ".sock";
    tqharness::ChildProcess server;
    std::string failure =
        server.start({"/usr/bin/env", "nbdkit", "--exit-with-parent", "--foreground", "--unix",
                      socket, "--filter=cache", "curl", url, "cache-on-read=true",
                      "cache-min-block-size=" + std::to_string(c.extentSize)},
                     m_dir + "/peer.log", {"TMPDIR=" + m_dir});
    if (!failure.empty())
        die("the peer: " + failure);
    using Handle = std::unique_ptr<struct nbd_handle, decltype(&nbd_close)>;
    Handle nbd(nullptr, &nbd_close);
    for (int tries = 0; tries < 500 && nbd == nullptr; ++tries) {
        Handle attempt(nbd_create(), &nbd_close);
        if (attempt != nullptr && ::access(socket.c_str(), F_OK) == 0 &&
            nbd_connect_unix(attempt.get(), socket.c_str()) == 0) {
            nbd = std::move(attempt);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (nbd == nullptr)
        die("the peer (nbdkit's curl plugin behind its cache filter) did not answer; see " + m_dir +
            "/peer.log");
    std::vector<char> bytes(static_cast<size_t>(c.extentSize));
    std::vector<double> times;
    for (long long extent : order(c)) {
        const long long offset = extent * c.extentSize;
        const Clock::time_point start = Clock::now();
        if (nbd_pread(nbd.get(), bytes.data(), bytes.size(), static_cast<uint64_t>(offset), 0) != 0)
            die(std::string("the peer's read failed: ") + nbd_get_error());
        times.push_back(micros(start));
        if (!matchesPattern(offset, bytes.data(), bytes.size()))
            die("the peer returned wrong bytes");
    }
    nbd_shutdown(nbd.get(), 0);
    nbd.reset();
    server.stop();
    ::unlink(socket.c_str());
    return percentiles(times);
#else
    (void)c;
    (void)url;
    die("--peer: this bench_latency was built without libnbd (libnbd-dev)");
#endif
}

struct Row {
    const Case* c;
    double p50, p90, p99, trip, file, warm, warm99, get, sum, peer50, peer90, peer99;
};

// The goal a row is held to, met or not, or an empty text where none is set.
std::string goal(const Row& r) {
    auto mark = [](bool met) { return met ? std::string(" met") : std::string(" MISSED"); };
    if (r.c->extentSize >= 1 << 20)
        return "p50<=1.15x sum" + mark(r.p50 <= 1.15 * r.sum);
    if (r.c->source == "image" && !r.c->sync)
        return "p50<=1.3x, p99<=3x sum" + mark(r.p50 <= 1.3 * r.sum && r.p99 <= 3 * r.sum);
    if (r.c->source == "http" && !r.c->random)
        return "p50<=1.3x sum, <=0.8x peer" +
               mark(r.p50 <= 1.3 * r.sum && (r.peer50 <= 0 || r.p50 <= 0.8 * r.peer50)) +
               (r.peer50 <= 0 ? " (no peer)" : "");
    return std::string();
}

void printTable(const std::vector<Case>& cases, const std::vector<std::vector<Figures>>& runs,
                int repeat) {
    std::printf(
        "\nfirst read of a missing extent, one reader, service --no-sync --readahead 0 (sync: "
        "syncing, on ext4);\nmicroseconds per extent, median of %d runs. Floors are p50s; sum: "
        "round trip + file work (sync: synced write) + warm read (+ GET);\nw99: the warm read's "
        "p99, the machine's own tail.\n\n",
        repeat);
    std::printf(
        "%-10s %-6s %-6s | %7s %7s %7s | %6s %6s %6s %6s %7s %6s | %5s %5s | %-17s %5s | %s\n",
        "source", "extent", "order", "p50", "p90", "p99", "trip", "file", "warm", "GET", "sum",
        "w99", "p50/s", "p99/s", "peer p50/p90/p99", "/peer", "goal");
    std::printf("%s\n", std::string(147, '-').c_str());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto med = [&](auto field) {
            std::vector<double> values;
            for (const Figures& f : runs[i])
                values.push_back(field(f));
            return median(values);
        };
        Row r;
        r.c = &c;
        r.p50 = med([](const Figures& f) { return f.road.p50; });
        r.p90 = med([](const Figures& f) { return f.road.p90; });
        r.p99 = med([](const Figures& f) { return f.road.p99; });
        r.trip = med([](const Figures& f) { return f.roundTrip; });
        r.file = med([](const Figures& f) { return f.fileWork; });
        r.warm = med([](const Figures& f) { return f.warmRead; });
        r.warm99 = med([](const Figures& f) { return f.warmP99; });
        r.get = med([](const Figures& f) { return f.get; });
        r.sum = r.trip + r.file + r.warm + r.get;
        r.peer50 = med([](const Figures& f) { return f.peer.p50; });
        r.peer90 = med([](const Figures& f) { return f.peer.p90; });
        r.peer99 = med([](const Figures& f) { return f.peer.p99; });
        char peer[64] = "-", ratio[16] = "-";
        if (r.peer50 > 0) {
            std::snprintf(peer, sizeof peer, "%.0f/%.0f/%.0f", r.peer50, r.peer90, r.peer99);
            std::snprintf(ratio, sizeof ratio, "%.2f", r.p50 / r.peer50);
        }
        std::printf(
            "%-10s %-6s %-6s | %7.0f %7.0f %7.0f | %6.0f %6.0f %6.0f %6.0f %7.0f %6.0f | %5.2f "
            "%5.2f | %-17s %5s | %s\n",
            (c.source + (c.sync ? "/sync" : "")).c_str(), c.extentSize >= 1 << 20 ? "1M" : "64K",
            c.random ? "random" : "seq", r.p50, r.p90, r.p99, r.trip, r.file, r.warm, r.get, r.sum,
            r.warm99, r.p50 / r.sum, r.p99 / r.sum, peer, ratio, goal(r).c_str());
    }
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            options->quick = true;
        } else if (a == "--repeat" && hasValue) {
            options->repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--http" && hasValue) {
            options->http = argv[++i];
        } else if (a == "--www" && hasValue) {
            options->www = argv[++i];
        } else if (a == "--peer") {
            options->peer = true;
        } else if (a == "--s3") {
            options->s3 = true;
        } else if (a == "--only" && hasValue) {
            options->only = argv[++i];
        } else if (a == "--extent-kib" && hasValue) {
            options->onlyExtentSize = std::atoi(argv[++i]) << 10;
        } else if (a == "--only-http") {
            options->only = "http";
        } else {
            return false;
        }
    }
    return options->http.empty() == options->www.empty();
}

std::vector<Case> makeCases(const Options& options) {
    std::vector<Case> cases;
    for (const char* source : {"image", "store", "http", "s3", "sync"}) {
        const std::string name = source;
        if ((name == "http" && options.http.empty()) || (name == "s3" && !options.s3) ||
            (!options.only.empty() && options.only != name))
            continue;
        for (int size : {64 << 10, 1 << 20}) {
            if (options.onlyExtentSize != 0 && size != options.onlyExtentSize)
                continue;
            const long long extents = (size == 64 << 10 ? 1024 : 128) / (options.quick ? 4 : 1);
            for (bool random : {false, true})
                cases.push_back(
                    {name == "sync" ? "image" : name, size, extents, random, name == "sync"});
        }
    }
    return cases;
}

// Makes what the cases read from, once per source and extent size; remove() takes it away.
class Sources {
  public:
    Sources(std::string dir, const Options& options) : m_dir(std::move(dir)), m_options(options) {}

    Inputs inputs(const Case& c) {
        const std::string file = "latency-image-" + std::to_string(c.extentSize);
        Inputs in;
        if (c.source == "image") {
            in.image = publish(m_dir + "/" + file, c);
        } else if (c.source == "http") {
            publish(m_options.www + "/" + file, c);
            in.url = in.get = m_options.http + "/" + file;
        } else if (c.source == "store") {
            in.store = m_dir + "/source-store-" + std::to_string(c.extentSize);
            if (m_stores.insert(in.store).second)
                fillStore(c);
        } else {
            in.url = std::string("s3://") + kBucket + "/" + file;
            in.get = env("TQBLK_TEST_S3_ENDPOINT") + "/" + kBucket + "/" + file;
            if (m_objects.insert(in.get).second) {
                RangedGet(env("TQBLK_TEST_S3_ENDPOINT") + "/" + kBucket, true).put({});
                std::vector<char> image(static_cast<size_t>(c.extents * c.extentSize));
                tqbench::fillPattern(0, image.data(), image.size());
                RangedGet(in.get, true).put(image);
            }
        }
        return in;
    }

    void remove() {
        for (const std::string& path : m_files)
            ::unlink(path.c_str());
        for (const std::string& dir : m_stores)
            TqBlkBackingStore::remove(dir.c_str());
    }

  private:
    std::string publish(const std::string& path, const Case& c) {
        if (std::find(m_files.begin(), m_files.end(), path) == m_files.end())
            m_files.push_back(tqbench::makeImage(path, c.extentSize, c.extents));
        return path;
    }
    void fillStore(const Case& c) {
        const std::string name = "source-store-" + std::to_string(c.extentSize);
        std::unique_ptr<TqBlkRecallStore> store(
            tqbench::newRecallStore(m_dir, name, c.extents, c.extentSize));
        std::vector<char> bytes(static_cast<size_t>(c.extentSize));
        for (long long extent = 0; extent < c.extents; ++extent) {
            tqbench::fillPattern(extent * c.extentSize, bytes.data(), bytes.size());
            tqbench::placeExtent(*store, extent, bytes);
        }
    }

    std::string m_dir;
    const Options& m_options;
    std::vector<std::string> m_files;
    std::set<std::string> m_stores, m_objects;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(
            stderr,
            "usage: bench_latency [--quick] [--repeat N] [--http URL --www DIR] "
            "[--peer] [--s3] [--only image|store|http|s3|sync] [--extent-kib N] [--only-http]\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::vector<Case> cases = makeCases(options);
    if (cases.empty()) {
        std::fprintf(stderr,
                     "bench_latency: nothing to run (--only takes image, store, http, s3 or sync; "
                     "http needs --http, s3 needs --s3; --extent-kib takes 64 or 1024)\n");
        return 2;
    }
    const bool syncing =
        std::any_of(cases.begin(), cases.end(), [](const Case& c) { return c.sync; });
    std::vector<std::vector<Figures>> runs(cases.size());
    std::string failure;
    {
        tqbench::Scratch scratch("tqblk-bench-latency");
        tqbench::LoopExt4 ext4;  // unmounted before the scratch is
        failure = tqbench::runWithEmulator(
            scratch.mount(), [&](const tqharness::EmulatorProcess& emulator) {
                const std::string syncDir = std::string(scratch.dir()) + "/ext4";
                if (syncing) {
                    if (::mkdir(syncDir.c_str(), 0755) != 0)
                        die("mkdir " + syncDir + ": " + std::strerror(errno));
                    std::string why = ext4.mount(syncDir, 1LL << 30);
                    if (!why.empty())
                        die("mount an ext4 for the syncing rows: " + why);
                }
                Bench bench(scratch.dir(), syncDir, emulator, options);
                Sources sources(scratch.dir(), options);
                try {
                    for (int r = 0; r < options.repeat; ++r) {
                        for (size_t i = 0; i < cases.size(); ++i) {
                            const Case& c = cases[i];
                            std::fprintf(stderr, "run %d: %s%s, %d KiB, %s\n", r + 1,
                                         c.source.c_str(), c.sync ? " (syncing)" : "",
                                         c.extentSize >> 10, c.random ? "random" : "sequential");
                            runs[i].push_back(bench.run(c, sources.inputs(c)));
                            std::fprintf(stderr, "  the service was ready in %.0f ms\n",
                                         runs[i].back().start);
                        }
                    }
                } catch (...) {
                    sources.remove();
                    throw;
                }
                sources.remove();
            });
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_latency: %s\n", failure.c_str());
        return 1;
    }
    printTable(cases, runs, options.repeat);
    return 0;
}
