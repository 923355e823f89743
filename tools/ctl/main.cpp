// tqblk-ctl: backing stores and devices from the command line, for scripts and for
// developers working against the driver or its emulator.
#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreCheck.h>
#include <tqblk/unix/TqBlkDriverUnix.h>
#include <tqblk/version.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Args = std::vector<std::string>;

const char kUsage[] =
    "usage: tqblk-ctl COMMAND ARGS...\n"
    "  create-store private|recall DIR UUID DEVICE_SIZE EXTENT_SIZE\n"
    "  remove-store DIR\n"
    "  clear-store DIR\n"
    "  bitmap DIR                 extents present, in all and per chunk of 32768\n"
    "  check-store DIR [--repair] [--prune-damaged] [--verify-against IMAGE|STORE]\n"
    "              [--json] [--threads N]\n"
    "                             checks a store like fsck: its config, data tree and tmp.\n"
    "                             Prints one line per finding (KIND PATH: DETAIL) and a summary\n"
    "                             (DIR: N extents present of M, K problems, R repaired).\n"
    "                             --repair removes leftover temporary files; --prune-damaged\n"
    "                             also removes extent files of the wrong size or type,\n"
    "                             dangling links and extents that differ from the verify source\n"
    "                             (for recall stores: their extents are recalled again); both\n"
    "                             take the store's lock and remove nothing while\n"
    "                             another process holds it. --verify-against compares every\n"
    "                             extent with an image, block device or store, byte for byte.\n"
    "                             --threads: walkers of the data tree (default: CPUs, up to 4).\n"
    "                             --json prints one object: {store, extent_count,\n"
    "                             extents_present, problems, repaired, findings_dropped,\n"
    "                             locked_by_other, exit_code, findings: [{kind, path, detail,\n"
    "                             problem, repaired}]}, or {store, error: {errno, messages},\n"
    "                             exit_code} when the check could not run.\n"
    "                             Exit 0 clean, 1 all problems repaired, 4 problems left,\n"
    "                             8 the check could not run\n"
    "  create-device UUID [--private DIR] [--recall DIR] [--auto-abort]\n"
    "                             prints the new device's name\n"
    "  wait UUID SECONDS          waits until the device is ready\n"
    "  check UUID                 prints ready or not-ready\n"
    "  abort UUID|PATH\n"
    "  destroy UUID|PATH\n"
    "  monitor UUID\n"
    "  resubmit UUID\n"
    "  get-config | set-config VALUE\n"
    "  set-mru UUID COUNT | get-mru UUID MAX\n"
    "  set-block-sizes UUID S1 S2 S3 S4\n";

// Prints a failure as a caller should and gives the exit status.
int report(const CZyError& err, const char* what) {
    if (!err.IsError())
        return 0;
    std::fprintf(stderr, "tqblk-ctl: %s failed:\n%s\n", what, err.GetDescription().c_str());
    return 1;
}

int createStore(const Args& a) {
    if (a.size() != 5 || (a[0] != "private" && a[0] != "recall"))
        return -1;
    CZyError err;
    long long deviceSize = std::strtoll(a[3].c_str(), nullptr, 0);
    int extentSize = static_cast<int>(std::strtol(a[4].c_str(), nullptr, 0));
    std::unique_ptr<TqBlkBackingStore> store(
        a[0] == "private"
            ? static_cast<TqBlkBackingStore*>(TqBlkPrivateStore::create(
                  a[1].c_str(), a[2].c_str(), deviceSize, extentSize, &err))
            : TqBlkRecallStore::create(a[1].c_str(), a[2].c_str(), deviceSize, extentSize, &err));
    return report(err, "create-store");
}

int removeStore(const Args& a) {
    if (a.size() != 1)
        return -1;
    return report(TqBlkBackingStore::remove(a[0].c_str()), "remove-store");
}

int clearStore(const Args& a) {
    if (a.size() != 1)
        return -1;
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(TqBlkPrivateStore::open(a[0].c_str(), &err));
    if (store)
        err = store->clear();
    return report(err, "clear-store");
}

int bitmap(const Args& a) {
    if (a.size() != 1)
        return -1;
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(a[0].c_str(), &err));
    std::vector<std::vector<unsigned char> > chunks;
    int perChunk = 0;
    if (store)
        err = store->getExtentBitmap(&chunks, &perChunk);
    if (report(err, "bitmap"))
        return 1;
    long long total = 0;
    std::string perChunkText;
    for (size_t c = 0; c < chunks.size(); ++c) {
        long long n = 0;
        for (unsigned char byte : chunks[c])
            n += __builtin_popcount(byte);
        total += n;
        if (n > 0)
            perChunkText += "  chunk " + std::to_string(c) + ": " + std::to_string(n) + "\n";
    }
    std::printf("%lld of %lld extents present (%zu chunks of %d)\n%s", total, store->m_extentCount,
                chunks.size(), perChunk, perChunkText.c_str());
    return 0;
}

// A path or detail on one line of text output: control characters (a newline in a file
// name) are shown escaped, so every finding stays one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

// The data tree is walked by as many threads as there are processors, up to 4: the walk
// waits on one stat per extent file, and these overlap well.
unsigned defaultCheckThreads() {
    return std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
}

struct CheckStoreArgs {
    CheckStoreArgs() { options.threads = defaultCheckThreads(); }

    std::string dir;
    TqBlkStoreCheckOptions options;
    bool json = false;
};

bool parseCheckStore(const Args& a, CheckStoreArgs* out) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--repair")
            out->options.repair = true;
        else if (a[i] == "--prune-damaged")
            out->options.pruneDamagedExtents = true;
        else if (a[i] == "--verify-against" && i + 1 < a.size())
            out->options.verifyAgainst = a[++i];
        else if (a[i] == "--json")
            out->json = true;
        else if (a[i] == "--threads" && i + 1 < a.size())
            out->options.threads = static_cast<unsigned>(std::strtoul(a[++i].c_str(), nullptr, 0));
        else if (out->dir.empty() && !a[i].empty() && a[i][0] != '-')
            out->dir = a[i];
        else
            return false;
    }
    return !out->dir.empty();
}

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

// File names need not be UTF-8: such bytes are replaced rather than failing the output.
void printJson(const nlohmann::json& document) {
    std::printf("%s\n",
                document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int checkStore(const Args& a) {
    CheckStoreArgs args;
    if (!parseCheckStore(a, &args))
        return -1;
    TqBlkStoreCheckReport found;
    CZyError err = tqblk_check_store(args.dir.c_str(), args.options, &found);
    if (err.IsError()) {
        if (args.json)
            printJson({{"store", args.dir},
                       {"error", {{"errno", err.GetErrNo()}, {"messages", err.GetMessages()}}},
                       {"exit_code", kCheckFailed}});
        else
            report(err, "check-store");
        return kCheckFailed;
    }
    if (args.json)
        printJson(checkJson(args, found));
    else
        printCheckText(args, found);
    return found.exitCode();
}

int createDevice(const Args& a) {
    if (a.empty())
        return -1;
    std::string privateDir, recallDir;
    bool autoAbort = false;
    for (size_t i = 1; i < a.size(); ++i) {
        if (a[i] == "--private" && i + 1 < a.size())
            privateDir = a[++i];
        else if (a[i] == "--recall" && i + 1 < a.size())
            recallDir = a[++i];
        else if (a[i] == "--auto-abort")
            autoAbort = true;
        else
            return -1;
    }
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> priv;
    std::unique_ptr<TqBlkRecallStore> recall;
    if (!privateDir.empty())
        priv.reset(TqBlkPrivateStore::open(privateDir.c_str(), &err));
    if (!err.IsError() && !recallDir.empty())
        recall.reset(TqBlkRecallStore::open(recallDir.c_str(), &err));
    if (report(err, "opening a store"))
        return 1;
    TqBlkDriverUnix driver;
    std::string name;
    err = autoAbort ? driver.createAutoAbortDevice(a[0].c_str(), priv.get(), recall.get(), &name)
                    : driver.createDevice(a[0].c_str(), priv.get(), recall.get(), &name);
    if (report(err, "create-device"))
        return 1;
    std::printf("%s\n", name.c_str());
    return 0;
}

// Commands that take a device and nothing else.
int simple(const Args& a, CZyError (TqBlkDriverUnix::*op)(const char*), const char* what) {
    if (a.size() != 1)
        return -1;
    TqBlkDriverUnix driver;
    return report((driver.*op)(a[0].c_str()), what);
}

int wait(const Args& a) {
    if (a.size() != 2)
        return -1;
    TqBlkDriverUnix driver;
    return report(driver.waitForDeviceReady(a[0].c_str(), std::strtoul(a[1].c_str(), nullptr, 0)),
                  "wait");
}

int check(const Args& a) {
    if (a.size() != 1)
        return -1;
    TqBlkDriverUnix driver;
    bool ready = false;
    if (report(driver.checkDevice(a[0].c_str(), &ready), "check"))
        return 1;
    std::printf("%s\n", ready ? "ready" : "not-ready");
    return 0;
}

int getConfig(const Args& a) {
    if (!a.empty())
        return -1;
    TqBlkDriverUnix driver;
    int config = 0;
    if (report(driver.getConfig(&config), "get-config"))
        return 1;
    std::printf("%d\n", config);
    return 0;
}

int setConfig(const Args& a) {
    if (a.size() != 1)
        return -1;
    TqBlkDriverUnix driver;
    return report(driver.setConfig(std::atoi(a[0].c_str())), "set-config");
}

int setMru(const Args& a) {
    if (a.size() != 2)
        return -1;
    TqBlkDriverUnix driver;
    return report(driver.setMRUExts(a[0].c_str(), std::atoi(a[1].c_str())), "set-mru");
}

int getMru(const Args& a) {
    if (a.size() != 2)
        return -1;
    int count = std::atoi(a[1].c_str());
    if (count < 0)
        return -1;
    std::vector<long long> extents(static_cast<size_t>(count));
    TqBlkDriverUnix driver;
    if (report(driver.getMRUExts(a[0].c_str(), extents.data(), &count), "get-mru"))
        return 1;
    for (int i = 0; i < count; ++i)
        std::printf("%lld\n", extents[static_cast<size_t>(i)]);
    return 0;
}

int setBlockSizes(const Args& a) {
    if (a.size() != 5)
        return -1;
    TqBlkDriverUnix driver;
    int s[4];
    for (int i = 0; i < 4; ++i)
        s[i] = std::atoi(a[static_cast<size_t>(i) + 1].c_str());
    return report(driver.setBlockSizes(a[0].c_str(), s[0], s[1], s[2], s[3]), "set-block-sizes");
}

}  // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::function<int(const Args&)> > commands = {
        {"create-store", createStore},
        {"remove-store", removeStore},
        {"clear-store", clearStore},
        {"bitmap", bitmap},
        {"check-store", checkStore},
        {"create-device", createDevice},
        {"wait", wait},
        {"check", check},
        {"abort", [](const Args& a) { return simple(a, &TqBlkDriverUnix::abortDevice, "abort"); }},
        {"destroy",
         [](const Args& a) { return simple(a, &TqBlkDriverUnix::destroyDevice, "destroy"); }},
        {"monitor",
         [](const Args& a) { return simple(a, &TqBlkDriverUnix::monitorDevice, "monitor"); }},
        {"resubmit",
         [](const Args& a) { return simple(a, &TqBlkDriverUnix::resubmitRecalls, "resubmit"); }},
        {"get-config", getConfig},
        {"set-config", setConfig},
        {"set-mru", setMru},
        {"get-mru", getMru},
        {"set-block-sizes", setBlockSizes},
    };
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tqblk-ctl %s\n", TQBLK_VERSION_STRING);
        return 0;
    }
    auto command = argc >= 2 ? commands.find(argv[1]) : commands.end();
    if (command == commands.end()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int result = command->second(Args(argv + 2, argv + argc));
    if (result < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return result;
}
