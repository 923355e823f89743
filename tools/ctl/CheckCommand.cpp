// check-store: a store checked like fsck, in text or JSON.

#include "Commands.h"

#include "Chunk.h"
#include "ExtentRanges.h"
#include "Manifest.h"
#include "Objects.h"
#include "ErrorText.h"
#include "StoreUse.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

namespace ctl {

namespace {

constexpr int kCheckFailed = 8;

void printCheckText(const CheckStoreArgs& args, const TqBlkStoreCheckReport& report) {
    for (const TqBlkStoreFinding& f : report.findings)
        std::printf("%s %s: %s%s\n", tqblk_store_finding_name(f.kind), printable(f.path).c_str(),
                    printable(f.detail).c_str(), f.repaired ? " (repaired)" : "");
    if (report.findingsDropped > 0)
        std::printf("... and %lld more findings\n", report.findingsDropped);
    const std::string dir = printable(args.dir);
    if (report.lockedByOther)
        std::printf("%s: in use by another process%s\n", dir.c_str(),
                    args.options.repair || args.options.pruneDamagedExtents
                        ? ", nothing was removed"
                        : ", temporary files may be in use");
    std::printf("%s: %lld extents present of %lld, %lld problems, %lld repaired\n", dir.c_str(),
                report.extentsPresent, report.extentCount, report.problems, report.repaired);
}

nlohmann::json checkJson(const CheckStoreArgs& args, const TqBlkStoreCheckReport& report) {
    nlohmann::json findings = nlohmann::json::array();
    for (const TqBlkStoreFinding& f : report.findings)
        findings.push_back({{"kind", tqblk_store_finding_name(f.kind)},
                            {"path", f.path},
                            {"detail", f.detail},
                            {"problem", f.isProblem()},
                            {"repaired", f.repaired}});
    return {{"store", args.dir},
            {"extent_count", report.extentCount},
            {"extents_present", report.extentsPresent},
            {"problems", report.problems},
            {"repaired", report.repaired},
            {"findings_dropped", report.findingsDropped},
            {"locked_by_other", report.lockedByOther},
            {"exit_code", report.exitCode()},
            {"findings", findings}};
}

// Whether --verify-against names a published image's manifest rather than an image or a
// store: "manifest+...", a URL (the library reads no image there), or a local file that
// starts like a manifest.
bool isManifest(const std::string& location) {
    if (tqimage::hasManifestPrefix(location))
        return true;
    if (location.find("://") != std::string::npos)
        return location.compare(0, 7, "file://") != 0 || isManifest(location.substr(7));
    tqsys::UniqueFd fd = tqsys::OpenRetrying(location.c_str(), O_RDONLY | O_NONBLOCK);
    const std::string magic = "tqblk-image ";
    char head[16] = {};
    struct stat st;
    return fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           tqsys::PreadFull(fd.get(), head, magic.size(), 0) == 0 &&
           magic.compare(0, magic.size(), head, magic.size()) == 0;
}

// Reads and checks the manifest at location; 0 or an errno with *detail.
int loadManifest(const CheckStoreArgs& args, const std::string& location,
                 tqimage::Manifest* manifest, std::string* detail) {
    std::string root, name, text;
    const std::string bare = tqimage::withoutManifestPrefix(location);
    if (!tqimage::splitManifestLocation(bare, &root, &name)) {
        *detail = "a manifest is read where it was published, ROOT/manifests/NAME, not at " + bare;
        return EINVAL;
    }
    tqimage::ObjectOptions options;
    options.endpoint = args.endpoint;
    options.region = args.region;
    options.cacert = args.cacert;
    options.netrcFile = args.netrcFile;
    std::unique_ptr<tqimage::Objects> objects = tqimage::openObjects(root, options, detail);
    if (!objects)
        return EINVAL;
    int e = objects->get(tqimage::manifestKey(name), &text, detail);
    if (e == 0 && (e = tqimage::parseManifest(text, manifest, detail)) != 0)
        *detail = "the manifest " + objects->describe(tqimage::manifestKey(name)) +
                  " cannot be used: " + *detail;
    return e;
}

// Hashes every present extent of the store at dir against the manifest, with a pool of
// threads, and adds a mismatch finding for each that differs. Extent files of the wrong size
// are the tree check's findings already and are skipped here. Returns 0 or an errno with
// *detail when the check cannot run (another geometry, the store unreadable).
int verifyManifest(const CheckStoreArgs& args, const tqimage::Manifest& manifest,
                   TqBlkStoreCheckReport* report, long long* checked, std::string* detail) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(args.dir.c_str(), &err));
    tqtools::ExtentBitmap chunks;
    int perChunk = 0;
    if (store)
        err = store->getPresentChunks(&chunks, &perChunk);
    if (err.IsError()) {
        *detail = tqtools::oneLine("Couldn't list the extents of " + args.dir, err);
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    const long long extentSize = store->getExtentSize();
    if (manifest.extentSize != extentSize ||
        static_cast<long long>(manifest.extents.size()) != store->m_extentCount) {
        *detail =
            "the manifest " + manifest.name + " has " + std::to_string(manifest.extents.size()) +
            " extents of " + std::to_string(manifest.extentSize) + " bytes, the store " +
            std::to_string(store->m_extentCount) + " of " + std::to_string(extentSize) +
            " (device size " + std::to_string(store->getDeviceSize()) + "): not the same geometry";
        return EINVAL;
    }
    std::vector<std::pair<long long, long long> > ranges;
    tqtools::forEachPresentRange(
        chunks, perChunk, store->m_extentCount,
        [&](long long first, long long last) { ranges.emplace_back(first, last); });
    const long long lastSize = store->getDeviceSize() - (store->m_extentCount - 1) * extentSize;
    std::mutex mutex;  // guards the report and the range cursor
    size_t range = 0;
    long long next = ranges.empty() ? 0 : ranges[0].first;
    auto take = [&](long long* extent) {
        std::lock_guard<std::mutex> lock(mutex);
        while (range < ranges.size() && next > ranges[range].second)
            if (++range < ranges.size())
                next = ranges[range].first;
        if (range >= ranges.size())
            return false;
        *extent = next++;
        return true;
    };
    // A private store's extents differ from its base by design: changed, not damaged.
    const TqBlkStoreFinding::Kind differs =
        args.storeKind == "private" && !args.options.allowPrivatePrune
            ? TqBlkStoreFinding::TQBLK_FINDING_CHANGED
            : TqBlkStoreFinding::TQBLK_FINDING_MISMATCH;
    auto found = [&](TqBlkStoreFinding::Kind kind, const std::string& name,
                     const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (TqBlkStoreFinding{kind, name, why}.isProblem())
            ++report->problems;
        if (report->findings.size() < args.options.maxFindings)
            report->findings.push_back({kind, name, why});
        else
            ++report->findingsDropped;
    };
    std::atomic<long long> hashed{0};
    auto work = [&] {
        std::vector<char> buffer(static_cast<size_t>(extentSize));
        long long extent = 0;
        while (take(&extent)) {
            const std::string name = tqtools::extentName(*store, extent);
            tqsys::UniqueFd fd = tqsys::OpenRetrying((args.dir + "/" + name).c_str(), O_RDONLY);
            struct stat st;
            if (fd.get() < 0 && errno == ENOENT)
                continue;  // gone since the listing
            if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
                found(TqBlkStoreFinding::TQBLK_FINDING_UNREADABLE, name, tqtools::errnoText(errno));
                continue;
            }
            if (!S_ISREG(st.st_mode) ||
                (st.st_size != extentSize &&
                 (extent != store->m_extentCount - 1 || st.st_size != lastSize)))
                continue;
            std::fill(buffer.begin(), buffer.end(), 0);
            const size_t size = static_cast<size_t>(st.st_size);
            if (tqsys::PreadFull(fd.get(), buffer.data(), size, 0) != 0) {
                found(TqBlkStoreFinding::TQBLK_FINDING_UNREADABLE, name, "a short read");
                continue;
            }
            ++hashed;
            const tqimage::ManifestExtent& want = manifest.extents[static_cast<size_t>(extent)];
            const std::string at = "extent " + std::to_string(extent) + ": ";
            if (want.zero && !tqimage::allZero(buffer.data(), buffer.size()))
                found(differs, name, at + "not all zeros as the manifest has it");
            if (want.zero)
                continue;
            const tqimage::Digest digest = tqimage::sha256(buffer.data(), buffer.size());
            if (digest != want.digest)
                found(differs, name,
                      at + "digest " + tqimage::toHex(digest) + ", the manifest's " +
                          tqimage::toHex(want.digest));
        }
    };
    unsigned count = args.options.threads > 0 ? args.options.threads
                                              : std::min(8u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::max(1u, count); ++i)
        threads.emplace_back(work);
    work();
    for (std::thread& t : threads)
        t.join();
    *checked = hashed;
    return 0;
}

}  // namespace

int checkStore(const CheckStoreArgs& args) {
    TqBlkStoreCheckOptions options = args.options;
    // A manifest is checked here, after the library's check of the tree.
    const bool manifestCheck = isManifest(options.verifyAgainst);
    tqimage::Manifest manifest;
    std::string detail;
    int failed = 0;
    if (manifestCheck) {
        if (options.pruneDamagedExtents) {
            std::fprintf(stderr,
                         "tqblk-ctl: check-store: --prune-damaged does not prune by a manifest; "
                         "check first, then recall the extents named\n");
            return 2;
        }
        failed = loadManifest(args, options.verifyAgainst, &manifest, &detail);
        options.verifyAgainst.clear();
    }
    options.storeKind = args.storeKind == "private"  ? TQBLK_CHECK_STORE_PRIVATE
                        : args.storeKind == "recall" ? TQBLK_CHECK_STORE_RECALL
                                                     : TQBLK_CHECK_STORE_UNKNOWN;
    TqBlkStoreCheckReport found;
    CZyError err =
        failed != 0 ? CZyError::Success() : tqblk_check_store(args.dir.c_str(), options, &found);
    long long checked = 0;
    if (manifestCheck && failed == 0 && !err.IsError())
        failed = verifyManifest(args, manifest, &found, &checked, &detail);
    if (failed != 0) {
        if (args.json)
            printJson({{"store", args.dir},
                       {"error", {{"errno", failed}, {"messages", {detail}}}},
                       {"exit_code", kCheckFailed}});
        else
            std::fprintf(stderr, "tqblk-ctl: check-store: %s\n", printable(detail).c_str());
        return kCheckFailed;
    }
    if (err.IsError()) {
        if (args.json)
            printJson({{"store", args.dir},
                       {"error", {{"errno", err.GetErrNo()}, {"messages", err.GetMessages()}}},
                       {"exit_code", kCheckFailed}});
        else
            report(err, "check-store");
        return kCheckFailed;
    }
    nlohmann::json document = args.json ? checkJson(args, found) : nlohmann::json();
    if (manifestCheck && args.json)
        document["manifest"] = {{"name", manifest.name}, {"extents_checked", checked}};
    if (args.json)
        printJson(document);
    else
        printCheckText(args, found);
    if (manifestCheck && !args.json)
        std::printf("%s: %lld extents checked against the manifest %s\n",
                    printable(args.dir).c_str(), checked, printable(manifest.name).c_str());
    return found.exitCode();
}

}  // namespace ctl
