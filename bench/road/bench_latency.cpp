// The first read of a missing extent: one reader reads a device's extents once each, in
// order or in a random order, while tqblk-recalld recalls each on demand (--no-sync,
// --readahead 0) from an image file or from nginx on 127.0.0.1, for 64 KiB and 1 MiB
// extents. Each read is timed alone; the table gives p50/p90/p99 per extent beside the
// floors measured in the same run, per extent too:
//   round trip  a recall's fetch and answer through the emulator, the request queued before
//   file work   a temporary file written and moved in through the library
//   warm read   the same read through the device once the extent is present
//   GET         (HTTP) one ranged GET of the extent on a kept-alive connection by libcurl
//   peer        (HTTP, --peer) nbdkit's curl plugin behind its cache filter read by nbdcopy,
//               one connection, one request of the extent's size: seconds per extent
// Runs as root in a private mount namespace, its stores on a tmpfs there. Each case runs
// --repeat times (default 3); every figure is the median over the repeats.
//
//   bench_latency [--quick] [--repeat N] [--http URL --www DIR] [--peer] [--only-http]
//     --http URL --www DIR  nginx serving DIR at URL (tests/remote/nginx.sh start prints
//                           both); bench/road/latency.sh starts one and passes them

#include "EmulatorHarness.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tqsys::UniqueFd;

[[noreturn]] void die(const std::string& what) {
    throw std::runtime_error(what);
}

void check(const CZyError& err, const char* what) {
    if (err.IsError())
        die(std::string(what) + ": " + err.GetDescription());
}

double micros(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Each 8-byte word holds its own offset, so a misplaced extent shows.
void fillPattern(long long offset, char* out, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
        long long word = offset + static_cast<long long>(i);
        std::memcpy(out + i, &word, std::min<size_t>(8, size - i));
    }
}

bool matchesPattern(long long offset, const char* data, size_t size) {
    for (size_t i = 0; i + 8 <= size; i += 4096) {
        long long word;
        std::memcpy(&word, data + i, 8);
        if (word != offset + static_cast<long long>(i))
            return false;
    }
    return true;
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
    std::string source;  // "image" or "http"
    int extentSize;
    long long extents;
    bool random;
};

// One run's figures, in microseconds per extent.
struct Figures {
    Percentiles road;
    double roundTrip = 0, fileWork = 0, warmRead = 0, get = 0, peer = 0;
};

struct Options {
    bool quick = false;
    int repeat = 3;
    std::string http;  // nginx's URL, or empty
    std::string www;   // the folder it serves
    bool peer = false;
    bool onlyHttp = false;
};

// A kept-alive libcurl handle with its fixed options set once: only the range changes.
class RangedGet {
  public:
    explicit RangedGet(const std::string& url) : m_curl(curl_easy_init()) {
        if (m_curl == nullptr)
            die("curl_easy_init failed");
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &RangedGet::collect);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(m_curl, CURLOPT_TCP_NODELAY, 1L);
    }
    ~RangedGet() { curl_easy_cleanup(m_curl); }
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

  private:
    static size_t collect(char* data, size_t size, size_t count, void* user) {
        static_cast<RangedGet*>(user)->m_bytes.append(data, size * count);
        return size * count;
    }

    CURL* m_curl;
    std::string m_bytes;
};

// Runs a program to its end; true when it exited with status 0.
bool runQuietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    tqsys::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Bench {
  public:
    Bench(std::string dir, const tqharness::EmulatorProcess& emulator, const Options& options)
        : m_dir(std::move(dir)), m_emulator(emulator), m_options(options) {}

    Figures run(const Case& c, const std::string& image, const std::string& url);

  private:
    TqBlkRecallStore* newStore(const std::string& name, const Case& c) {
        CZyError err;
        TqBlkRecallStore* store =
            TqBlkRecallStore::create((m_dir + "/" + name).c_str(), name.c_str(),
                                     c.extents * c.extentSize, c.extentSize, &err);
        check(err, "create a recall store");
        return store;
    }
    std::vector<long long> order(const Case& c);
    double roundTrip(const Case& c);
    double fileWork(const Case& c);
    double get(const Case& c, const std::string& url);
    double peer(const Case& c, const std::string& url);

    std::string m_dir;
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
        std::shuffle(extents.begin(), extents.end(), std::mt19937_64(m_runs));
    return extents;
}

Figures Bench::run(const Case& c, const std::string& image, const std::string& url) {
    Figures figures;
    const std::string uuid = "latency-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> recall(newStore(uuid, c));
    std::string name;
    check(m_driver.createDevice(uuid.c_str(), nullptr, recall.get(), &name), "create a device");
    std::vector<std::string> args = {TQBLK_RECALLD_PATH, "--uuid",    uuid,     "--recall-store",
                                     recall->getDir(),   "--no-sync", "--quiet"};
    if (c.source == "image") {
        args.insert(args.end(), {"--image", image});
    } else {
        args.insert(args.end(), {"--source", url, "--readahead", "0"});
    }
    tqharness::ChildProcess service;
    std::string failure = service.start(args, m_dir + "/service.log");
    if (!failure.empty())
        die(failure);
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
    figures.roundTrip = roundTrip(c);
    figures.fileWork = fileWork(c);
    if (c.source == "http") {
        figures.get = get(c, url);
        if (m_options.peer && !c.random && c.extentSize == 64 << 10)
            figures.peer = peer(c, url);
    }
    return figures;
}

// Every extent queued at once through the control file, then each fetched and answered.
double Bench::roundTrip(const Case& c) {
    const std::string uuid = "round-trip-" + std::to_string(++m_runs);
    std::unique_ptr<TqBlkRecallStore> store(newStore(uuid, c));
    std::string name;
    check(m_driver.createDevice(uuid.c_str(), nullptr, store.get(), &name), "create a device");
    std::string lines;
    for (long long extent = 0; extent < c.extents; ++extent)
        lines += "recall " + std::to_string(extent) + " " + uuid + "\n";
    for (size_t at = 0; at < lines.size();) {
        size_t end = std::min(lines.size(), lines.rfind('\n', at + 60000) + 1);
        if (int error = m_emulator.control(lines.substr(at, end - at)))
            die(std::string("control: ") + std::strerror(error));
        at = end;
    }
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
        fillPattern(extent * c.extentSize, bytes.data(), bytes.size());
        const Clock::time_point start = Clock::now();
        std::string temp;
        int raw = -1;
        check(store->openTempFile(&temp, &raw), "open a temporary file");
        UniqueFd fd(raw);
        if (tqsys::PwriteFull(fd.get(), bytes.data(), bytes.size(), 0) != 0)
            die("write " + temp);
        fd.reset();
        check(store->moveInExtentFile(temp.c_str(), extent), "move an extent in");
        times.push_back(micros(start));
    }
    check(TqBlkBackingStore::remove(store->getDir().c_str()), "remove a store");
    return percentiles(times).p50;
}

double Bench::get(const Case& c, const std::string& url) {
    RangedGet getter(url);
    getter.get(0, c.extentSize);  // opens the connection
    std::vector<double> times;
    for (long long extent : order(c)) {
        const Clock::time_point start = Clock::now();
        getter.get(extent * c.extentSize, c.extentSize);
        times.push_back(micros(start));
    }
    return percentiles(times).p50;
}

// nbdkit's curl plugin behind its cache filter on a socket of its own, read whole by nbdcopy
// with one connection and requests of the extent's size; microseconds per extent, the
// server's start included as a user would pay it.
double Bench::peer(const Case& c, const std::string& url) {
    const std::string socket = m_dir + "/peer.sock";
    const std::string out = m_dir + "/peer.out";
    const Clock::time_point start = Clock::now();
    const bool ran = runQuietly({"nbdkit", "-U", socket, "--filter=cache", "curl", url, "--run",
                                 "nbdcopy --connections=1 --requests=1 --request-size=" +
                                     std::to_string(c.extentSize) + " \"$uri\" " + out});
    const double total = micros(start);
    ::unlink(out.c_str());
    if (!ran)
        die("the peer (nbdkit curl plugin, nbdcopy) failed or is not installed");
    return total / static_cast<double>(c.extents);
}

std::string makeImage(const std::string& path, const Case& c) {
    UniqueFd fd = tqsys::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd.valid())
        die("open " + path + ": " + std::strerror(errno));
    std::vector<char> chunk(static_cast<size_t>(c.extentSize));
    for (long long extent = 0; extent < c.extents; ++extent) {
        fillPattern(extent * c.extentSize, chunk.data(), chunk.size());
        if (tqsys::PwriteFull(fd.get(), chunk.data(), chunk.size(), extent * c.extentSize) != 0)
            die("write " + path);
    }
    return path;
}

void printTable(const std::vector<Case>& cases, const std::vector<std::vector<Figures>>& runs,
                int repeat) {
    std::printf(
        "\nfirst read of a missing extent, one reader, service --no-sync --readahead 0; "
        "microseconds per extent,\nmedian of %d runs. Floors are p50s; sum: round trip + file "
        "work + warm read (+ GET).\n\n",
        repeat);
    std::printf("%-6s %-7s %-6s | %8s %8s %8s | %7s %7s %7s %7s %7s | %7s | %6s %6s %8s\n",
                "source", "extent", "order", "p50", "p90", "p99", "trip", "file", "warm", "GET",
                "sum", "peer", "p50/s", "p99/s", "p50/peer");
    std::printf("%s\n", std::string(128, '-').c_str());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto med = [&](double Figures::*field) {
            std::vector<double> values;
            for (const Figures& f : runs[i])
                values.push_back(f.*field);
            return median(values);
        };
        auto medRoad = [&](double Percentiles::*field) {
            std::vector<double> values;
            for (const Figures& f : runs[i])
                values.push_back(f.road.*field);
            return median(values);
        };
        const double p50 = medRoad(&Percentiles::p50), p99 = medRoad(&Percentiles::p99);
        const double sum = med(&Figures::roundTrip) + med(&Figures::fileWork) +
                           med(&Figures::warmRead) + med(&Figures::get);
        const double peer = med(&Figures::peer);
        char peerText[16] = "-", ratioText[16] = "-";
        if (peer > 0) {
            std::snprintf(peerText, sizeof peerText, "%.0f", peer);
            std::snprintf(ratioText, sizeof ratioText, "%.2f", p50 / peer);
        }
        std::printf(
            "%-6s %-7s %-6s | %8.0f %8.0f %8.0f | %7.0f %7.0f %7.0f %7.0f %7.0f | %7s | %6.2f "
            "%6.2f %6s\n",
            c.source.c_str(), c.extentSize >= 1 << 20 ? "1 MiB" : "64 KiB",
            c.random ? "random" : "seq", p50, medRoad(&Percentiles::p90), p99,
            med(&Figures::roundTrip), med(&Figures::fileWork), med(&Figures::warmRead),
            med(&Figures::get), sum, peerText, p50 / sum, p99 / sum, ratioText);
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
        } else if (a == "--only-http") {
            options->onlyHttp = true;
        } else {
            return false;
        }
    }
    return options->http.empty() == options->www.empty();
}

class Scratch {
  public:
    ~Scratch() {
        if (m_mounted)
            ::umount2(m_dir, MNT_DETACH);
        ::rmdir(m_dir);
    }
    std::string mount() {
        if (::mkdtemp(m_dir) == nullptr)
            return std::string("mkdtemp: ") + std::strerror(errno);
        if (::mount("tqblk-bench-latency", m_dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return std::string("mount a tmpfs: ") + std::strerror(errno);
        m_mounted = true;
        return "";
    }
    const char* dir() const { return m_dir; }

  private:
    char m_dir[40] = "/tmp/tqblk-bench-latency-XXXXXX";
    bool m_mounted = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: bench_latency [--quick] [--repeat N] [--http URL --www DIR] "
                     "[--peer] [--only-http]\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::string why = tqharness::EnterPrivateNamespace();
    if (!why.empty()) {
        std::fprintf(stderr, "bench_latency: needs a private mount namespace: %s\n", why.c_str());
        return 1;
    }
    std::vector<Case> cases;
    for (const char* source : {"image", "http"}) {
        if ((std::strcmp(source, "http") == 0 && options.http.empty()) ||
            (std::strcmp(source, "image") == 0 && options.onlyHttp))
            continue;
        for (int size : {64 << 10, 1 << 20}) {
            const long long extents = (size == 64 << 10 ? 1024 : 128) / (options.quick ? 4 : 1);
            for (bool random : {false, true})
                cases.push_back({source, size, extents, random});
        }
    }
    std::vector<std::vector<Figures>> runs(cases.size());
    std::string failure;
    std::vector<std::string> published;
    {
        Scratch scratch;
        failure = scratch.mount();
        try {
            if (!failure.empty())
                die(failure);
            tqharness::EmulatorProcess emulator;
            failure = emulator.start(tqharness::kDriverDir);
            if (!failure.empty())
                die(failure);
            Bench bench(scratch.dir(), emulator, options);
            for (int r = 0; r < options.repeat; ++r) {
                for (size_t i = 0; i < cases.size(); ++i) {
                    const Case& c = cases[i];
                    const std::string file = "latency-image-" + std::to_string(c.extentSize);
                    std::string image = std::string(scratch.dir()) + "/" + file;
                    std::string url;
                    if (c.source == "http") {
                        image = options.www + "/" + file;
                        url = options.http + "/" + file;
                    }
                    if (std::find(published.begin(), published.end(), image) == published.end()) {
                        published.push_back(makeImage(image, c));
                    }
                    std::fprintf(stderr, "run %d: %s, %d KiB, %s\n", r + 1, c.source.c_str(),
                                 c.extentSize >> 10, c.random ? "random" : "sequential");
                    runs[i].push_back(bench.run(c, image, url));
                }
            }
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
        for (const std::string& path : published)
            ::unlink(path.c_str());
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_latency: %s\n", failure.c_str());
        return 1;
    }
    printTable(cases, runs, options.repeat);
    return 0;
}
