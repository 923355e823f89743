// push: an image published as content-addressed chunks and a manifest. Threads take the
// extents in turn: read, hash, skip what is all zeros or at the root already, compress and
// upload the rest; the manifest goes last, so that a root never names a chunk it lacks and a
// rerun after a failure uploads only what is missing. With --repair the chunks at the root
// are fetched and checked too, and one that fails is uploaded again, under a published
// manifest as well.
#include "Chunk.h"
#include "Cli.h"
#include "Commands.h"
#include "Manifest.h"

#include <nlohmann/json.hpp>
#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace imagetool {
namespace {

using Clock = std::chrono::steady_clock;
using tqimage::Digest;
using tqimage::ManifestExtent;

std::string errnoText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

// Opens the image: a regular file or a block device, never waited on (a FIFO is refused).
int openImage(const std::string& path, int* fd, long long* size, std::string* detail) {
    tqsys::UniqueFd file = tqsys::OpenRetrying(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    uint64_t bytes = 0;
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 ||
        (S_ISBLK(st.st_mode) && ::ioctl(file.get(), BLKGETSIZE64, &bytes) != 0)) {
        *detail = "Couldn't open the image " + path + ": " + errnoText(errno);
        return tqtools::kExitFailed;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        *detail = "The image " + path + " is neither a regular file nor a block device";
        return tqtools::kExitUsage;
    }
    *size = S_ISREG(st.st_mode) ? st.st_size : static_cast<long long>(bytes);
    if (*size == 0) {
        *detail = "The image " + path + " is empty";
        return tqtools::kExitUsage;
    }
    *fd = file.release();
    return 0;
}

class Publisher {
  public:
    Publisher(const PushArgs& args, tqimage::Objects& root, int fd, long long size)
        : m_args(args), m_root(root), m_fd(fd), m_size(size) {
        m_extents.resize(static_cast<size_t>((size + args.extentSize - 1) / args.extentSize));
    }

    // The chunks at the root, as a listing gives them: those with a plausible length count.
    int listChunks(std::string* detail) {
        std::vector<tqimage::ObjectInfo> objects;
        int error = m_root.list("chunks/", &objects, detail);
        if (error != 0)
            return error;
        for (const tqimage::ObjectInfo& object : objects) {
            Digest digest;
            const std::string hex = object.key.substr(object.key.rfind('/') + 1);
            if (tqimage::fromHex(hex, &digest) && object.key == tqimage::chunkKey(digest) &&
                object.size > 0 && object.size <= m_args.extentSize)
                m_stored.emplace(tqimage::toHex(digest), static_cast<uint32_t>(object.size));
        }
        return 0;
    }

    // Runs the threads; with published set, only compares the image with that manifest.
    // Returns 0 or an errno with *detail.
    int run(int threads, const tqimage::Manifest* published) {
        m_published = published;
        StopOnSignal signals(m_root);
        m_signals = &signals;
        Progress progress("push", m_size);
        m_progress = &progress;
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t)
            pool.emplace_back([this] { work(); });
        work();
        for (std::thread& thread : pool)
            thread.join();
        m_progress = nullptr;
        m_signals = nullptr;
        return m_error;
    }

    const std::string& failure() const { return m_detail; }
    long long differingExtent() const { return m_differs; }

    tqimage::Manifest manifest(const std::string& name) const {
        tqimage::Manifest out;
        out.name = name;
        out.size = m_size;
        out.extentSize = m_args.extentSize;
        out.extents = m_extents;
        for (ManifestExtent& extent : out.extents)
            if (!extent.zero)
                extent.chunkSize = m_stored.at(tqimage::toHex(extent.digest));
        return out;
    }

    long long zeroExtents() const {
        long long zero = 0;
        for (const ManifestExtent& extent : m_extents)
            zero += extent.zero ? 1 : 0;
        return zero;
    }

    std::atomic<long long> uploaded{0}, present{0}, repaired{0}, storedBytes{0}, rawBytes{0},
        readBytes{0};

  private:
    enum class Claim { kSkip, kUpload, kCheck };

    void work() {
        const size_t extentSize = static_cast<size_t>(m_args.extentSize);
        std::vector<char> buffer(extentSize);
        std::vector<char> decoded(m_args.repair ? extentSize : 0);  // a chunk checked
        std::string detail, stored;
        for (size_t i; m_error == 0 && (i = m_next++) < m_extents.size();) {
            if (m_signals->stopped()) {
                fail(ECANCELED, "interrupted");
                return;
            }
            const long long offset = static_cast<long long>(i) * m_args.extentSize;
            const size_t length =
                static_cast<size_t>(std::min<long long>(m_args.extentSize, m_size - offset));
            int error = -tqsys::PreadFull(m_fd, buffer.data(), length, offset);
            if (error == ENODATA)
                error = EIO;  // the image shrank while it was read
            if (error != 0) {
                fail(error, "Couldn't read the image " + m_args.image + " at " +
                                std::to_string(offset) + ": " + errnoText(error));
                return;
            }
            std::fill(buffer.begin() + static_cast<long>(length), buffer.end(), 0);
            readBytes += static_cast<long long>(length);
            m_progress->add(static_cast<long long>(length));
            ManifestExtent& extent = m_extents[i];
            extent.zero = tqimage::allZero(buffer.data(), extentSize);
            if (!extent.zero)
                extent.digest = tqimage::sha256(buffer.data(), extentSize);
            if (m_published != nullptr) {
                const ManifestExtent& other = m_published->extents[i];
                if (other.zero != extent.zero || (!extent.zero && other.digest != extent.digest)) {
                    m_differs = static_cast<long long>(i);
                    fail(EEXIST, "");
                }
                if (!m_args.repair)
                    continue;
            }
            const Claim claimed = extent.zero ? Claim::kSkip : claim(extent.digest);
            if (claimed == Claim::kSkip)
                continue;
            if (claimed == Claim::kCheck) {
                // As verify judges it: under a published manifest its length counts too.
                error = checkChunk(m_root, extent.digest,
                                   m_published ? m_published->extents[i].chunkSize : 0, decoded,
                                   &stored, &detail);
                if (error == 0) {
                    ++present;
                    continue;
                }
                if (error != ENOENT && error != EBADMSG) {
                    fail(error, m_signals->stopped() ? "interrupted" : detail);
                    return;
                }
            }
            const std::string chunk = tqimage::encodeChunk(buffer.data(), extentSize, m_args.level);
            // A published manifest names each chunk's length: the chunk put in place of a bad
            // one must have it.
            if (m_published != nullptr && chunk.size() != m_published->extents[i].chunkSize) {
                fail(EINVAL, "chunk " + tqimage::toHex(extent.digest) + " encodes to " +
                                 std::to_string(chunk.size()) + " bytes, the manifest names " +
                                 std::to_string(m_published->extents[i].chunkSize) +
                                 ": give the --level the image was pushed with");
                return;
            }
            error = m_root.put(tqimage::chunkKey(extent.digest), chunk, &detail);
            if (error != 0) {
                fail(error, m_signals->stopped() ? "interrupted" : detail);
                return;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stored[tqimage::toHex(extent.digest)] = static_cast<uint32_t>(chunk.size());
            ++uploaded;
            if (claimed == Claim::kCheck || m_published != nullptr)
                ++repaired;
            storedBytes += static_cast<long long>(chunk.size());
            rawBytes += m_args.extentSize;
        }
    }

    // What this thread is to do with the chunk of digest: nothing unless it is the first to
    // meet it; upload it when the root lacks it; else check it with --repair.
    Claim claim(const Digest& digest) {
        const std::string hex = tqimage::toHex(digest);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_claimed.insert(hex).second)
            return Claim::kSkip;
        if (m_stored.count(hex) == 0)
            return Claim::kUpload;
        if (m_args.repair)
            return Claim::kCheck;
        ++present;
        return Claim::kSkip;
    }

    void fail(int error, const std::string& detail) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_error == 0) {
            m_detail = detail;
            m_error = error;
        }
    }

    const PushArgs& m_args;
    tqimage::Objects& m_root;
    const int m_fd;
    const long long m_size;
    const tqimage::Manifest* m_published = nullptr;
    Progress* m_progress = nullptr;
    StopOnSignal* m_signals = nullptr;
    std::vector<ManifestExtent> m_extents;
    std::atomic<size_t> m_next{0};
    std::atomic<int> m_error{0};
    std::atomic<long long> m_differs{-1};
    std::mutex m_mutex;                                  // guards what follows
    std::unordered_map<std::string, uint32_t> m_stored;  // chunk digest (hex) -> stored bytes
    std::unordered_set<std::string> m_claimed;           // digests met so far
    std::string m_detail;
};

// The name of the image file, without its directory.
std::string baseName(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

int push(const PushArgs& args, const tqimage::ObjectOptions& options) {
    const Clock::time_point start = Clock::now();
    const std::string name = args.name.empty() ? baseName(args.image) : args.name;
    if (!tqimage::validImageName(name)) {
        complain("push", "\"" + name +
                             "\" is no valid image name (1 to 128 of A-Z a-z 0-9 . _ -, " +
                             "not starting with '.')" + (args.name.empty() ? "; give --name" : ""));
        return tqtools::kExitUsage;
    }
    if ((args.extentSize & (args.extentSize - 1)) != 0) {
        complain("push",
                 "--extent-size: " + std::to_string(args.extentSize) + " is no power of two");
        return tqtools::kExitUsage;
    }
    int fd = -1;
    long long size = 0;
    std::string detail;
    int status = openImage(args.image, &fd, &size, &detail);
    tqsys::UniqueFd image(fd);
    if (status != 0) {
        complain("push", detail);
        return status;
    }
    std::unique_ptr<tqimage::Objects> root = openRoot("push", args.root, options);
    if (!root)
        return tqtools::kExitFailed;
    const std::string key = tqimage::manifestKey(name);
    const std::string shown = root->describe(key);
    std::string publishedText;
    tqimage::Manifest published;
    int error = root->get(key, &publishedText, &detail);
    if (error != 0 && error != ENOENT) {
        complain("push", detail);
        return tqtools::kExitFailed;
    }
    const bool exists = error == 0;
    if (exists && tqimage::parseManifest(publishedText, &published, &detail) != 0) {
        complain("push", "refused: " + shown + " exists and is no valid manifest (" + detail +
                             "); a manifest is never replaced");
        return tqtools::kExitFailed;
    }
    const std::string immutable =
        "; a published manifest never changes: publish the image under another --name";
    if (exists && (published.size != size || published.extentSize != args.extentSize)) {
        complain("push", "refused: " + shown + " is an image of " + std::to_string(published.size) +
                             " bytes in extents of " + std::to_string(published.extentSize) +
                             immutable);
        return tqtools::kExitFailed;
    }
    // A few threads per extent at most in memory: each holds an extent and its chunk.
    int threads = threadsFor(args.jobs);
    if (args.jobs == 0)
        threads = static_cast<int>(std::max<long long>(
            1, std::min<long long>(threads, (2LL << 30) / (2 * args.extentSize))));
    Publisher publisher(args, *root, image.get(), size);
    if ((!exists || args.repair) && (error = publisher.listChunks(&detail)) != 0) {
        complain("push", detail);
        return tqtools::kExitFailed;
    }
    error = publisher.run(threads, exists ? &published : nullptr);
    if (error == EEXIST) {
        complain("push", "refused: " + shown + " holds another image (extent " +
                             std::to_string(publisher.differingExtent()) + " differs)" + immutable);
        return tqtools::kExitFailed;
    }
    if (error != 0) {
        complain("push", publisher.failure() +
                             " (the chunks uploaded so far stay: a rerun uploads only the rest)");
        return tqtools::kExitFailed;
    }
    bool already = exists;
    if (!exists) {
        // Another publisher may have written it meanwhile: the same text is as good.
        const std::string text = publisher.manifest(name).serialize();
        std::string now;
        error = root->get(key, &now, &detail);
        if (error == 0 && now != text) {
            complain("push", "refused: " + shown +
                                 " appeared meanwhile and holds another "
                                 "image" +
                                 immutable);
            return tqtools::kExitFailed;
        }
        already = error == 0;
        if ((error == ENOENT && (error = root->put(key, text, &detail)) != 0) ||
            (error != 0 && error != ENOENT)) {
            complain("push", detail);
            return tqtools::kExitFailed;
        }
    }

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate =
        static_cast<double>(publisher.readBytes) / (1 << 20) / std::max(seconds, 1e-3);
    const double ratio = publisher.storedBytes > 0 ? static_cast<double>(publisher.rawBytes) /
                                                         static_cast<double>(publisher.storedBytes)
                                                   : 0;
    if (args.json) {
        nlohmann::json out = {{"name", name},
                              {"root", shownRoot(*root)},
                              {"manifest", shown},
                              {"already_published", already},
                              {"size", size},
                              {"extent_size", args.extentSize},
                              {"extents", (size + args.extentSize - 1) / args.extentSize},
                              {"zero_extents", publisher.zeroExtents()},
                              {"chunks_uploaded", publisher.uploaded.load()},
                              {"chunks_present", publisher.present.load()},
                              {"chunks_repaired", publisher.repaired.load()},
                              {"bytes_read", publisher.readBytes.load()},
                              {"bytes_stored", publisher.storedBytes.load()},
                              {"compression_ratio", ratio},
                              {"seconds", seconds},
                              {"mib_per_second", rate}};
        std::printf("%s\n", out.dump().c_str());
        return tqtools::kExitDone;
    }
    std::printf("%s %s\n", already ? "already published:" : "published", shown.c_str());
    std::printf("extents: %lld (%lld zero)\nchunks uploaded: %lld\nchunks already there: %lld\n",
                (size + args.extentSize - 1) / args.extentSize, publisher.zeroExtents(),
                publisher.uploaded.load(), publisher.present.load());
    if (args.repair)
        std::printf("chunks repaired: %lld\n", publisher.repaired.load());
    std::printf("bytes read: %lld (%s)\nbytes stored: %lld (%s, compression ratio %.2f)\n",
                publisher.readBytes.load(), mebibytes(publisher.readBytes).c_str(),
                publisher.storedBytes.load(), mebibytes(publisher.storedBytes).c_str(), ratio);
    std::printf("time: %.2f s (%.1f MiB/s)\n", seconds, rate);
    return tqtools::kExitDone;
}

}  // namespace imagetool
