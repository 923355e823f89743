// The remote road: a device read through the emulator while tqblk-recalld recalls its
// extents from an S3 server (Ceph's RADOS Gateway) and from nginx, for 64 KiB and 1 MiB
// extents, beside the floor: ranged GETs of the same extents with the same parallelism by
// libcurl against the same server, with nothing written. Also one sequential reader with
// the service's readahead off and on. Prints one table. Started by bench/road/remote.sh,
// which runs the servers and passes their addresses in the environment; runs as root, in a
// private mount namespace of its own, its stores on a tmpfs there.
//
//   bench_remote [--quick]
//   bench_remote --source SOURCE --image FILE [--extent-size BYTES] [--workers N]
//
// The second form reads one whole device through the service recalling from SOURCE (any
// --source the service takes, such as s3://B/KEY or manifest+s3://B/P/manifests/NAME),
// as many readers as workers, checks every byte against FILE and prints one line
// "bytes=N seconds=S mibps=R" (bench/image/image.sh runs it).

#include "RoadBench.h"
#include "TimeThreads.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqsys/FullIo.h>
#include <tqsys/UniqueFd.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tqbench::die;
using tqbench::timeThreads;
using tqsys::UniqueFd;

constexpr int kWorkerCounts[] = {2, 4, 8};

// A libcurl easy handle, cleaned up on every way out (die throws).
using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
CurlHandle newCurl() {
    return CurlHandle(curl_easy_init(), &curl_easy_cleanup);
}

std::string env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        die(std::string(name) + " is not set: run bench/road/remote.sh");
    return value;
}

unsigned char patternByte(long long offset) {
    unsigned long long word =
        static_cast<unsigned long long>(offset / 8 + 1) * 0x9E3779B97F4A7C15ULL;
    word ^= word >> 29;
    return static_cast<unsigned char>(word >> (8 * (offset % 8)));
}

std::vector<char> pattern(long long size) {
    std::vector<char> bytes(static_cast<size_t>(size));
    for (long long i = 0; i < size; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(patternByte(i));
    return bytes;
}

struct Server {
    std::string name;  // "S3 (Ceph RGW)" or "HTTP (nginx)"
    std::string url;   // what the service is given
    std::string get;   // what the floor fetches
    bool s3;
};

void signS3(CURL* curl, struct curl_slist** headers) {
    static const std::string access = env("TQBLK_TEST_S3_ACCESS");
    static const std::string secret = env("TQBLK_TEST_S3_SECRET");
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
    curl_easy_setopt(curl, CURLOPT_USERNAME, access.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, secret.c_str());
    *headers = curl_slist_append(*headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
}

size_t discard(char*, size_t size, size_t count, void* user) {
    *static_cast<size_t*>(user) += size * count;
    return size * count;
}

// Sends the request with these headers (then freed), counting the answer's bytes into *got;
// false where the transfer failed. *status is the HTTP status.
bool perform(CURL* curl, struct curl_slist* headers, size_t* got, long* status) {
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, got);
    *status = 0;
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
    curl_slist_free_all(headers);
    return code == CURLE_OK;
}

void putS3(const std::string& url, const std::vector<char>& body) {
    CurlHandle handle = newCurl();
    CURL* curl = handle.get();
    struct curl_slist* headers = nullptr;
    signS3(curl, &headers);
    size_t got = 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    long status;
    bool sent = perform(curl, headers, &got, &status);
    if (!sent || (status != 200 && status != 409))
        die("PUT " + url + " failed: HTTP " + std::to_string(status));
}

// The floor: threads fetch the extents in turn with ranged GETs, one kept connection each,
// checking the status and the byte count; extents/s.
double floorRate(const Server& server, long long extents, int extentSize, int threads) {
    std::atomic<long long> next{0};
    double seconds = timeThreads(threads, [&](int) {
        CurlHandle handle = newCurl();
        CURL* curl = handle.get();
        for (long long extent; (extent = next++) < extents;) {
            struct curl_slist* headers = nullptr;
            curl_easy_reset(curl);
            if (server.s3)
                signS3(curl, &headers);
            std::string range = std::to_string(extent * extentSize) + "-" +
                                std::to_string((extent + 1) * extentSize - 1);
            size_t got = 0;
            curl_easy_setopt(curl, CURLOPT_URL, server.get.c_str());
            curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
            long status;
            if (!perform(curl, headers, &got, &status) || status != 206 ||
                got != static_cast<size_t>(extentSize))
                die("the floor's GET of " + range + " failed: HTTP " + std::to_string(status));
        }
    });
    return static_cast<double>(extents) / seconds;
}

class Bench {
  public:
    explicit Bench(std::string dir) : m_dir(std::move(dir)) {}

    // Readers take the extents in turn and read each whole while the service recalls them;
    // extents/s. Every byte is checked.
    double road(const Server& server, const std::vector<char>& image, int extentSize, int workers,
                int readers, int readahead) {
        const long long extents = static_cast<long long>(image.size()) / extentSize;
        std::string uuid = "remote-" + std::to_string(++m_runs);
        CZyError err;
        std::unique_ptr<TqBlkRecallStore> recall(
            TqBlkRecallStore::create((m_dir + "/" + uuid).c_str(), uuid.c_str(),
                                     static_cast<long long>(image.size()), extentSize, &err));
        if (!recall)
            die(err.GetDescription());
        std::string name;
        err = m_driver.createDevice(uuid.c_str(), nullptr, recall.get(), &name);
        if (err.IsError())
            die(err.GetDescription());
        tqharness::ChildProcess service;
        std::string failure =
            service.start({TQBLK_RECALLD_PATH, "--uuid", uuid, "--recall-store", recall->getDir(),
                           "--source", server.url, "--workers", std::to_string(workers),
                           "--readahead", std::to_string(readahead), "--quiet"},
                          m_dir + "/service.log",
                          {"AWS_ACCESS_KEY_ID=" + env("TQBLK_TEST_S3_ACCESS"),
                           "AWS_SECRET_ACCESS_KEY=" + env("TQBLK_TEST_S3_SECRET"),
                           "AWS_ENDPOINT_URL=" + env("TQBLK_TEST_S3_ENDPOINT")});
        if (!failure.empty())
            die(failure);
        // A service that refuses its source ends; reading its device then would wait for ever.
        while (logText().find("serving recall requests") == std::string::npos)
            if (service.waitExit(std::chrono::milliseconds(20)) != -1)
                die("the service ended at start:\n" + logText());
        std::string data = name + ".data";
        std::atomic<long long> next{0};
        std::atomic<bool> wrong{false};
        double seconds = timeThreads(readers, [&](int) {
            UniqueFd fd(::open(data.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd.get() < 0)
                die("open " + data + ": " + std::strerror(errno));
            std::vector<char> bytes(static_cast<size_t>(extentSize));
            for (long long extent; (extent = next++) < extents;) {
                long long offset = extent * extentSize;
                if (tqsys::PreadFull(fd.get(), bytes.data(), bytes.size(), offset) != 0 ||
                    std::memcmp(bytes.data(), image.data() + offset, bytes.size()) != 0)
                    wrong = true;
            }
        });
        if (service.stop() != 0)
            die("the service failed:\n" + logText());
        if (wrong)
            die("a read returned wrong bytes");
        check(m_driver.destroyDevice(uuid.c_str()));
        check(TqBlkBackingStore::remove(recall->getDir().c_str()));
        return static_cast<double>(extents) / seconds;
    }

  private:
    // The service's log (of every run so far: the last lines are this run's).
    std::string logText() const {
        std::string text;
        UniqueFd fd(::open((m_dir + "/service.log").c_str(), O_RDONLY | O_CLOEXEC));
        char buffer[4096];
        for (ssize_t got; fd.get() >= 0 && (got = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(got));
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }

    static void check(const CZyError& err) {
        if (err.IsError())
            die(err.GetDescription());
    }

    std::string m_dir;
    TqBlkDriverUnix m_driver;
    int m_runs = 0;
};

struct Row {
    std::string server;
    int extentSize = 0;
    double floor = 0;  // MiB/s, best over the worker counts
    int floorThreads = 0;
    double road = 0;
    int roadWorkers = 0;
    double sequential = 0;  // one reader, readahead off
    double readahead = 0;   // one reader, readahead on
};

void printTable(const std::vector<Row>& rows) {
    std::printf(
        "\nremote road: MiB/s, best over %d/%d/%d workers (the floor with as many "
        "connections)\n",
        kWorkerCounts[0], kWorkerCounts[1], kWorkerCounts[2]);
    std::printf("%-14s | %-6s | %-16s | %-16s | %-6s | %-10s | %-10s | %-6s\n", "server", "extent",
                "floor (curl)", "road (readers)", "ratio", "seq demand", "seq ahead",
                "ahead/demand");
    std::printf("%s\n", std::string(104, '-').c_str());
    for (const Row& r : rows) {
        char floorText[32], roadText[32];
        std::snprintf(floorText, sizeof floorText, "%.1f (%d)", r.floor, r.floorThreads);
        std::snprintf(roadText, sizeof roadText, "%.1f (%d)", r.road, r.roadWorkers);
        std::printf("%-14s | %-6s | %-16s | %-16s | %5.0f%% | %-10.1f | %-10.1f | %.2fx\n",
                    r.server.c_str(), r.extentSize >= 1 << 20 ? "1 MiB" : "64 KiB", floorText,
                    roadText, 100 * r.road / r.floor, r.sequential, r.readahead,
                    r.readahead / r.sequential);
    }
}

// The second form: one road from the source given, checked against the image file.
int roadFromSource(int argc, char** argv) {
    std::string source, imagePath;
    int extentSize = 1 << 20, workers = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--source")
            source = value;
        else if (name == "--image")
            imagePath = value;
        else if (name == "--extent-size")
            extentSize = std::stoi(value);
        else if (name == "--workers")
            workers = std::stoi(value);
        else
            source.clear(), i = argc;  // unknown: the usage below
    }
    if (source.empty() || imagePath.empty() || argc % 2 == 0 || extentSize < 4096 || workers < 1) {
        std::fprintf(stderr,
                     "usage: bench_remote --source SOURCE --image FILE [--extent-size BYTES] "
                     "[--workers N]\n");
        return 2;
    }
    std::vector<char> image;
    {
        UniqueFd fd(::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC));
        off_t size = fd.get() < 0 ? -1 : ::lseek(fd.get(), 0, SEEK_END);
        if (size <= 0 || size % extentSize != 0) {
            std::fprintf(stderr, "bench_remote: %s: not a whole number of extents\n",
                         imagePath.c_str());
            return 1;
        }
        image.resize(static_cast<size_t>(size));
        if (tqsys::PreadFull(fd.get(), image.data(), image.size(), 0) != 0) {
            std::fprintf(stderr, "bench_remote: read %s\n", imagePath.c_str());
            return 1;
        }
    }
    double extentsPerSecond = 0;
    std::string failure;
    {
        tqbench::Scratch scratch("tqblk-bench-remote");
        failure = tqbench::runWithEmulator(scratch.mount(), [&](const tqharness::EmulatorProcess&) {
            Bench bench(scratch.dir());
            extentsPerSecond =
                bench.road({source, source, "", true}, image, extentSize, workers, workers, 0);
        });
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_remote: %s\n", failure.c_str());
        return 1;
    }
    const double extents = static_cast<double>(image.size() / static_cast<size_t>(extentSize));
    std::printf("bytes=%zu seconds=%.3f mibps=%.1f\n", image.size(), extents / extentsPerSecond,
                extentsPerSecond * extentSize / 1048576.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (argc > 1 && std::strcmp(argv[1], "--source") == 0)
        return roadFromSource(argc, argv);
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    std::vector<Row> rows;
    std::string failure;
    {
        tqbench::Scratch scratch("tqblk-bench-remote");
        failure = tqbench::runWithEmulator(scratch.mount(), [&](const tqharness::EmulatorProcess&) {
            Bench bench(scratch.dir());
            const long long imageSize = (quick ? 16LL : 128LL) << 20;
            std::vector<char> image = pattern(imageSize);
            std::string endpoint = env("TQBLK_TEST_S3_ENDPOINT");
            putS3(endpoint + "/tqblk-bench", {});
            putS3(endpoint + "/tqblk-bench/image", image);
            std::string www = env("TQBLK_TEST_WWW") + "/bench-image";
            {
                UniqueFd fd(::open(www.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
                if (fd.get() < 0 || tqsys::PwriteFull(fd.get(), image.data(), image.size(), 0) != 0)
                    die("write " + www);
            }
            std::vector<Server> servers = {
                {"S3 (Ceph RGW)", "s3://tqblk-bench/image", endpoint + "/tqblk-bench/image", true},
                {"HTTP (nginx)", env("TQBLK_TEST_HTTP") + "/bench-image",
                 env("TQBLK_TEST_HTTP") + "/bench-image", false}};
            for (const Server& server : servers) {
                for (int extentSize : {64 << 10, 1 << 20}) {
                    Row row;
                    row.server = server.name;
                    row.extentSize = extentSize;
                    const long long extents = imageSize / extentSize;
                    const double mib = extentSize / 1048576.0;
                    for (int workers : kWorkerCounts) {
                        std::fprintf(stderr, "%s, %d KiB extents, %d workers\n",
                                     server.name.c_str(), extentSize >> 10, workers);
                        double f = floorRate(server, extents, extentSize, workers) * mib;
                        if (f > row.floor) {
                            row.floor = f;
                            row.floorThreads = workers;
                        }
                        double r = bench.road(server, image, extentSize, workers, workers, 0) * mib;
                        if (r > row.road) {
                            row.road = r;
                            row.roadWorkers = workers;
                        }
                    }
                    row.sequential = bench.road(server, image, extentSize, 4, 1, 0) * mib;
                    row.readahead = bench.road(server, image, extentSize, 4, 1, 32) * mib;
                    rows.push_back(row);
                }
            }
            ::unlink(www.c_str());
        });
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_remote: %s\n", failure.c_str());
        return 1;
    }
    printTable(rows);
    return 0;
}
