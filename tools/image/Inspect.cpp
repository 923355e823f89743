// What the commands share, and the two that read a published image: info and verify.
#include "Chunk.h"
#include "Cli.h"
#include "Commands.h"
#include "Manifest.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <vector>

namespace imagetool {

using Clock = std::chrono::steady_clock;

std::unique_ptr<tqimage::Objects> openRoot(const char* command, const std::string& root,
                                           const tqimage::ObjectOptions& options) {
    std::string detail;
    std::unique_ptr<tqimage::Objects> objects = tqimage::openObjects(root, options, &detail);
    if (!objects)
        complain(command, "Couldn't open the image root " + root + ": " + detail);
    return objects;
}

int threadsFor(int jobs) {
    // Most of a small chunk's time is its request's round trip, not CPU: four threads per
    // CPU keep the cores busy while requests wait.
    return jobs > 0 ? jobs
                    : static_cast<int>(std::max(8u, 4 * std::thread::hardware_concurrency()));
}

int checkChunk(tqimage::Objects& root, const tqimage::Digest& digest, uint32_t length,
               std::vector<char>& out, std::string* chunk, std::string* detail) {
    int error = root.get(tqimage::chunkKey(digest), chunk, detail);
    if (error == 0 && length != 0 && chunk->size() != length) {
        *detail = "stored as " + std::to_string(chunk->size()) + " bytes, the manifest says " +
                  std::to_string(length);
        return EBADMSG;
    }
    if (error == 0 && tqimage::decodeChunk(*chunk, digest, out.data(), out.size(), detail) != 0)
        return EBADMSG;
    return error;
}

bool showProgress() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

void complain(const char* command, const std::string& text) {
    std::fprintf(stderr, "%stqblk-image: %s: %s\n", showProgress() ? "\r\033[K" : "", command,
                 text.c_str());
}

std::string mebibytes(long long bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

StopOnSignal::StopOnSignal(tqimage::Objects& root) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked here, in the threads started after, and taken by the watcher alone.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_thread = std::thread([this, set, &root] {
        const struct timespec wait = {0, 200 * 1000 * 1000};
        while (!m_ending) {
            if (sigtimedwait(&set, nullptr, &wait) > 0) {
                m_stopped = true;
                root.interrupt();
            }
        }
    });
}

StopOnSignal::~StopOnSignal() {
    m_ending = true;
    m_thread.join();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

std::string shownRoot(const tqimage::Objects& root) {
    std::string shown = root.describe("");
    if (shown.size() > 1 && shown.back() == '/')
        shown.pop_back();
    return shown;
}

Progress::Progress(const char* command, long long total) : m_command(command), m_total(total) {
    if (showProgress())
        m_thread = std::thread([this] { show(); });
}

Progress::~Progress() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_wake.notify_all();
    m_thread.join();
    std::fprintf(stderr, "\r\033[K");
}

void Progress::show() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_ending; })) {
        const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
        const long long done = m_done;
        std::fprintf(stderr, "\r\033[K%s: %s of %s, %.1f MiB/s", m_command.c_str(),
                     mebibytes(done).c_str(), mebibytes(m_total).c_str(),
                     static_cast<double>(done) / (1 << 20) / std::max(seconds, 1e-3));
    }
}

namespace {

// Reads and checks the manifest at location. Returns 0, or the exit status after saying why
// not.
int loadManifest(const char* command, const std::string& location,
                 const tqimage::ObjectOptions& options, std::unique_ptr<tqimage::Objects>* root,
                 std::string* rootName, tqimage::Manifest* manifest, std::string* text) {
    std::string name, detail;
    if (!tqimage::splitManifestLocation(location, rootName, &name)) {
        complain(command, location + " names no manifest (ROOT/manifests/NAME)");
        return tqtools::kExitUsage;
    }
    *root = openRoot(command, *rootName, options);
    if (!*root)
        return tqtools::kExitFailed;
    const std::string key = tqimage::manifestKey(name);
    if ((*root)->get(key, text, &detail) != 0 ||
        tqimage::parseManifest(*text, manifest, &detail) != 0) {
        complain(command, "Couldn't read the manifest " + (*root)->describe(key) + ": " + detail);
        return tqtools::kExitFailed;
    }
    return 0;
}

// Each distinct chunk a manifest names, with its stored length.
std::map<tqimage::Digest, uint32_t> chunksOf(const tqimage::Manifest& manifest) {
    std::map<tqimage::Digest, uint32_t> chunks;
    for (const tqimage::ManifestExtent& extent : manifest.extents)
        if (!extent.zero)
            chunks.emplace(extent.digest, extent.chunkSize);
    return chunks;
}

}  // namespace

int info(const InspectArgs& args, const tqimage::ObjectOptions& options) {
    std::unique_ptr<tqimage::Objects> root;
    std::string rootName, text;
    tqimage::Manifest manifest;
    int status = loadManifest("info", args.location, options, &root, &rootName, &manifest, &text);
    if (status != 0)
        return status;
    const std::map<tqimage::Digest, uint32_t> chunks = chunksOf(manifest);
    long long stored = 0, zero = 0;
    for (const auto& chunk : chunks)
        stored += chunk.second;
    for (const tqimage::ManifestExtent& extent : manifest.extents)
        zero += extent.zero ? 1 : 0;
    const std::string digest = tqimage::manifestDigest(text);
    if (args.json) {
        nlohmann::json out = {{"name", manifest.name},
                              {"root", shownRoot(*root)},
                              {"size", manifest.size},
                              {"extent_size", manifest.extentSize},
                              {"extents", manifest.extents.size()},
                              {"zero_extents", zero},
                              {"chunks", chunks.size()},
                              {"stored_bytes", stored},
                              {"sha256", digest}};
        std::printf("%s\n", out.dump().c_str());
        return 0;
    }
    std::printf(
        "name: %s\nsize: %lld (%s)\nextent size: %lld\nextents: %zu\nzero extents: %lld\n"
        "distinct chunks: %zu\nstored bytes: %lld (%s)\nsha256: %s\n",
        manifest.name.c_str(), manifest.size, mebibytes(manifest.size).c_str(), manifest.extentSize,
        manifest.extents.size(), zero, chunks.size(), stored, mebibytes(stored).c_str(),
        digest.c_str());
    return 0;
}

int verify(const InspectArgs& args, const tqimage::ObjectOptions& options) {
    std::unique_ptr<tqimage::Objects> root;
    std::string rootName, text;
    tqimage::Manifest manifest;
    int status = loadManifest("verify", args.location, options, &root, &rootName, &manifest, &text);
    if (status != 0)
        return status;
    const std::map<tqimage::Digest, uint32_t> chunkMap = chunksOf(manifest);
    const std::vector<std::pair<tqimage::Digest, uint32_t>> chunks(chunkMap.begin(),
                                                                   chunkMap.end());
    long long total = 0;
    for (const auto& chunk : chunks)
        total += chunk.second;
    const Clock::time_point start = Clock::now();
    StopOnSignal signals(*root);
    std::atomic<size_t> next{0};
    std::mutex printing;  // guards what follows
    nlohmann::json bad = nlohmann::json::array();
    nlohmann::json missing = nlohmann::json::array();
    {
        Progress progress("verify", total);
        auto check = [&] {
            std::vector<char> extent(static_cast<size_t>(manifest.extentSize));
            std::string chunk, detail;
            for (size_t i; !signals.stopped() && (i = next++) < chunks.size();) {
                const tqimage::Digest& digest = chunks[i].first;
                const std::string hex = tqimage::toHex(digest);
                const int error =
                    checkChunk(*root, digest, chunks[i].second, extent, &chunk, &detail);
                progress.add(chunks[i].second);
                if (error == 0 || signals.stopped())
                    continue;
                std::lock_guard<std::mutex> lock(printing);
                if (error == ENOENT)
                    missing.push_back(hex);
                else
                    bad.push_back({{"digest", hex}, {"why", detail}});
                if (args.json)
                    continue;
                if (error == ENOENT)
                    std::printf("missing chunk %s\n", hex.c_str());
                else
                    std::printf("bad chunk %s: %s\n", hex.c_str(), detail.c_str());
                std::fflush(stdout);
            }
        };
        std::vector<std::thread> threads;
        const int count = std::min<int>(threadsFor(args.jobs),
                                        static_cast<int>(std::max<size_t>(1, chunks.size())));
        for (int t = 1; t < count; ++t)
            threads.emplace_back(check);
        check();
        for (std::thread& thread : threads)
            thread.join();
    }
    if (signals.stopped()) {
        complain("verify", "interrupted");
        return tqtools::kExitFailed;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const int exit = bad.empty() && missing.empty() ? tqtools::kExitDone : tqtools::kExitFailed;
    if (args.json) {
        nlohmann::json out = {{"name", manifest.name},   {"root", shownRoot(*root)},
                              {"chunks", chunks.size()}, {"bad", bad},
                              {"missing", missing},      {"bytes_read", root->bytesRead()},
                              {"seconds", seconds}};
        std::printf("%s\n", out.dump().c_str());
        return exit;
    }
    std::printf("%s: %zu chunks checked, %zu bad, %zu missing; %s read in %.2f s\n",
                manifest.name.c_str(), chunks.size(), bad.size(), missing.size(),
                mebibytes(root->bytesRead()).c_str(), seconds);
    return exit;
}

}  // namespace imagetool
