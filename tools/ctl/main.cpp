// tqblk-ctl: backing stores and devices from the command line, for scripts, operators and
// developers working against the driver or its emulator.
#include "Cli.h"
#include "ErrorText.h"
#include "Numbers.h"
#include "ToolDriver.h"

#include <tqblk/TqBlkBackingStore.h>
#include <tqblk/TqBlkStoreCheck.h>

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using tqtools::kExitDone;
using tqtools::kExitFailed;

const char kExitCodes[] =
    "Exit status: 0 done, 1 the operation failed, 2 bad usage (check-store has its own: see\n"
    "'tqblk-ctl check-store --help').\n"
    "Environment: TQBLK_ADMIN_NODE, the driver's admin node when --admin-node is not given.";

constexpr long long kMaxDeviceSize = 1LL << 60;
constexpr long long kMaxExtentSize = 1LL << 30;
constexpr int kMruRoom = 1024;

// What every command shares: the driver's node and how much to say about failures.
struct Globals {
    std::string adminNode;
    int verbose = 0;
};

Globals g;

// Prints a failure: one line, the chain under -v, and a hint where one helps.
int report(const CZyError& err, const std::string& what, bool driverCall = false) {
    if (!err.IsError())
        return kExitDone;
    std::fprintf(stderr, "tqblk-ctl: %s\n", tqtools::oneLine(what, err).c_str());
    if (g.verbose > 0)
        std::fprintf(stderr, "%s\n", tqtools::chain(err).c_str());
    int e = err.GetErrNo();
    tqtools::ToolDriver driver(g.adminNode);
    const std::vector<std::string> messages = err.GetMessages();
    if (driverCall && (e == ENOENT || e == ENOTDIR || e == ENXIO || e == ENODEV) &&
        !messages.empty() && messages.front().rfind("Couldn't open", 0) == 0)
        std::fprintf(stderr,
                     "hint: no admin node at %s: no tqblk driver is loaded. For development, "
                     "run the emulator (tqblk-run-in-namespace) and name its node with "
                     "--admin-node or TQBLK_ADMIN_NODE.\n",
                     driver.path().c_str());
    return kExitFailed;
}

// File names need not be UTF-8: such bytes are replaced rather than failing the output.
void printJson(const nlohmann::json& document) {
    std::printf("%s\n",
                document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
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

// ---- Stores ----

// The entries of a directory, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> entriesOf(const std::string& dir, int* error) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    *error = d ? 0 : errno;
    if (!d)
        return names;
    while (const dirent* entry = ::readdir(d.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A few names of what a directory holds, for a refusal.
std::string someEntries(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < 3; ++i)
        text += (i ? ", " : "") + printable(names[i]);
    if (names.size() > 3)
        text += ", ...";
    return text;
}

// Why create-store must not touch dir, or an empty text when it may.
std::string createRefusal(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return "";  // made anew
    if (!S_ISDIR(st.st_mode))
        return dir + " exists and is not a directory";
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(dir.c_str(), &err));
    if (store)
        return dir + " is already a store (UUID " + store->m_uuid + ", device size " +
               std::to_string(store->getDeviceSize()) + ", extent size " +
               std::to_string(store->getExtentSize()) + "); --force replaces it";
    int error = 0;
    std::vector<std::string> names = entriesOf(dir, &error);
    if (error != 0)
        return "Couldn't list " + dir + ": " + tqtools::errnoText(error);
    if (!names.empty())
        return dir + " is not empty and not a store: it holds " + std::to_string(names.size()) +
               " entries (" + someEntries(names) + "); --force empties it";
    return "";
}

struct CreateStoreArgs {
    std::string kind, dir, uuid;
    long long deviceSize = 0;
    long long extentSize = 0;
    bool force = false;
};

int createStore(const CreateStoreArgs& a) {
    if (!a.force) {
        std::string refusal = createRefusal(a.dir);
        if (!refusal.empty()) {
            std::fprintf(stderr, "tqblk-ctl: create-store: refused: %s\n", refusal.c_str());
            return kExitFailed;
        }
    }
    CZyError err;
    int extentSize = static_cast<int>(a.extentSize);
    std::unique_ptr<TqBlkBackingStore> store(
        a.kind == "private" ? static_cast<TqBlkBackingStore*>(TqBlkPrivateStore::create(
                                  a.dir.c_str(), a.uuid.c_str(), a.deviceSize, extentSize, &err))
                            : TqBlkRecallStore::create(a.dir.c_str(), a.uuid.c_str(), a.deviceSize,
                                                       extentSize, &err));
    return report(err, "create-store");
}

int removeStore(const std::string& dir) {
    return report(TqBlkBackingStore::remove(dir.c_str()), "remove-store");
}

int clearStore(const std::string& dir) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> store(TqBlkPrivateStore::open(dir.c_str(), &err));
    if (store)
        err = store->clear();
    return report(err, "clear-store");
}

// The extents present in a store: in all, and per chunk.
struct Presence {
    long long present = 0;
    long long total = 0;
    int perChunk = 0;
    std::vector<long long> chunks;
};

CZyError presenceOf(const std::string& dir, std::unique_ptr<TqBlkRecallStore>* opened,
                    Presence* out) {
    CZyError err;
    opened->reset(TqBlkRecallStore::open(dir.c_str(), &err));
    if (!*opened)
        return err;
    std::vector<std::vector<unsigned char> > chunks;
    err = (*opened)->getExtentBitmap(&chunks, &out->perChunk);
    if (err.IsError())
        return err;
    out->total = (*opened)->m_extentCount;
    for (const std::vector<unsigned char>& chunk : chunks) {
        long long n = 0;
        for (unsigned char byte : chunk)
            n += __builtin_popcount(byte);
        out->chunks.push_back(n);
        out->present += n;
    }
    return err;
}

int bitmap(const std::string& dir, bool json) {
    std::unique_ptr<TqBlkRecallStore> store;
    Presence p;
    if (report(presenceOf(dir, &store, &p), "bitmap"))
        return kExitFailed;
    if (json) {
        nlohmann::json chunks = nlohmann::json::array();
        for (size_t c = 0; c < p.chunks.size(); ++c)
            chunks.push_back({{"chunk", c}, {"present", p.chunks[c]}});
        printJson({{"store", dir},
                   {"extent_count", p.total},
                   {"extents_present", p.present},
                   {"extents_per_chunk", p.perChunk},
                   {"chunks", chunks}});
        return kExitDone;
    }
    std::printf("%lld of %lld extents present (%zu chunks of %d)\n", p.present, p.total,
                p.chunks.size(), p.perChunk);
    for (size_t c = 0; c < p.chunks.size(); ++c)
        if (p.chunks[c] > 0)
            std::printf("  chunk %zu: %lld\n", c, p.chunks[c]);
    return kExitDone;
}

// ---- check-store ----

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

int checkStore(const CheckStoreArgs& args) {
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

// ---- Devices ----

struct CreateDeviceArgs {
    std::string uuid, privateDir, recallDir;
    bool autoAbort = false;
};

int createDevice(const CreateDeviceArgs& a) {
    CZyError err;
    std::unique_ptr<TqBlkPrivateStore> priv;
    std::unique_ptr<TqBlkRecallStore> recall;
    if (!a.privateDir.empty())
        priv.reset(TqBlkPrivateStore::open(a.privateDir.c_str(), &err));
    if (!err.IsError() && !a.recallDir.empty())
        recall.reset(TqBlkRecallStore::open(a.recallDir.c_str(), &err));
    if (report(err, "create-device: opening a store"))
        return kExitFailed;
    tqtools::ToolDriver driver(g.adminNode);
    std::string name;
    err = a.autoAbort
              ? driver.createAutoAbortDevice(a.uuid.c_str(), priv.get(), recall.get(), &name)
              : driver.createDevice(a.uuid.c_str(), priv.get(), recall.get(), &name);
    if (report(err, "create-device", true))
        return kExitFailed;
    std::printf("%s\n", name.c_str());
    return kExitDone;
}

int driverCall(const std::string& what, const std::function<CZyError(TqBlkDriverUnix&)>& op) {
    tqtools::ToolDriver driver(g.adminNode);
    return report(op(driver), what, true);
}

int check(const std::string& uuid) {
    bool ready = false;
    if (driverCall("check",
                   [&](TqBlkDriverUnix& d) { return d.checkDevice(uuid.c_str(), &ready); }))
        return kExitFailed;
    std::printf("%s\n", ready ? "ready" : "not-ready");
    return kExitDone;
}

int getConfig(bool json) {
    int config = 0;
    if (driverCall("get-config", [&](TqBlkDriverUnix& d) { return d.getConfig(&config); }))
        return kExitFailed;
    if (json)
        printJson({{"config", config}});
    else
        std::printf("%d\n", config);
    return kExitDone;
}

CZyError mruOf(TqBlkDriverUnix& driver, const std::string& uuid, int room,
               std::vector<long long>* extents) {
    extents->assign(static_cast<size_t>(room), 0);
    int count = room;
    CZyError err = driver.getMRUExts(uuid.c_str(), extents->data(), &count);
    extents->resize(err.IsError() ? 0 : static_cast<size_t>(std::max(0, std::min(count, room))));
    return err;
}

int getMru(const std::string& uuid, int room, bool json) {
    std::vector<long long> extents;
    if (driverCall("get-mru", [&](TqBlkDriverUnix& d) { return mruOf(d, uuid, room, &extents); }))
        return kExitFailed;
    if (json) {
        printJson({{"device", uuid}, {"extents", extents}});
        return kExitDone;
    }
    for (long long extent : extents)
        std::printf("%lld\n", extent);
    return kExitDone;
}

// ---- status ----

struct StatusArgs {
    std::string uuid, recallDir, privateDir, statsFile;
    bool json = false;
};

nlohmann::json storeStatus(const std::string& role, const std::string& dir, CZyError* err) {
    std::unique_ptr<TqBlkRecallStore> store;
    Presence p;
    *err = presenceOf(dir, &store, &p);
    if (err->IsError())
        return nullptr;
    return {{"role", role},
            {"dir", dir},
            {"uuid", store->m_uuid},
            {"device_size", store->getDeviceSize()},
            {"extent_size", store->getExtentSize()},
            {"extent_count", p.total},
            {"extents_present", p.present}};
}

// The recall service's counters as it last wrote them, with the file's age in seconds.
bool readStats(const std::string& path, nlohmann::json* stats, std::string* error) {
    std::ifstream in(path);
    struct stat st;
    if (!in || ::stat(path.c_str(), &st) != 0) {
        *error = "Couldn't read " + path + ": " + tqtools::errnoText(errno);
        return false;
    }
    *stats = nlohmann::json::parse(in, nullptr, false);
    if (stats->is_discarded() || !stats->is_object()) {
        *error = path + " is not a stats file of tqblk-recalld";
        return false;
    }
    (*stats)["age_seconds"] = static_cast<long long>(std::time(nullptr) - st.st_mtime);
    return true;
}

std::string percent(long long part, long long whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", whole > 0 ? 100.0 * part / whole : 0.0);
    return text;
}

void printStatusText(const nlohmann::json& s) {
    std::printf("device %s: %s\n", s["device"].get<std::string>().c_str(),
                s["ready"].get<bool>() ? "ready" : "not ready");
    std::printf("  config word: %d\n", s["config"].get<int>());
    // The first few; --json has them all.
    std::string mru;
    const size_t kShown = 16;
    for (size_t i = 0; i < s["mru_extents"].size() && i < kShown; ++i)
        mru += " " + std::to_string(s["mru_extents"][i].get<long long>());
    if (s["mru_extents"].size() > kShown)
        mru += " ... (" + std::to_string(s["mru_extents"].size()) + " in all)";
    std::printf("  MRU extents:%s\n", mru.empty() ? " none" : mru.c_str());
    for (const auto& store : s["stores"]) {
        long long present = store["extents_present"], total = store["extent_count"];
        std::printf("  %s store %s: %lld of %lld extents present (%s), extent size %lld\n",
                    store["role"].get<std::string>().c_str(),
                    printable(store["dir"].get<std::string>()).c_str(), present, total,
                    percent(present, total).c_str(), store["extent_size"].get<long long>());
    }
    if (!s.contains("service"))
        return;
    const nlohmann::json& v = s["service"];
    long long age = v.value("age_seconds", 0LL);
    std::printf("  recall service (pid %lld, stats %lld s old%s):\n", v.value("pid", 0LL), age,
                age > 5 ? ": is it still running?" : "");
    std::printf("    demand recalls %lld, in flight %lld, done %lld, failed %lld, %lld bytes\n",
                v.value("demand_recalls", 0LL), v.value("in_flight", 0LL), v.value("done", 0LL),
                v.value("failed", 0LL), v.value("bytes", 0LL));
    long long present = v.value("extents_present", 0LL), total = v.value("extent_count", 0LL);
    std::printf("    %lld of %lld extents present (%s)\n", present, total,
                percent(present, total).c_str());
    if (v.contains("failed_by_errno"))
        for (auto it = v["failed_by_errno"].begin(); it != v["failed_by_errno"].end(); ++it)
            std::printf("    failed with %s: %lld\n", it.key().c_str(),
                        it.value().get<long long>());
}

int status(const StatusArgs& a) {
    nlohmann::json s = {{"device", a.uuid}};
    tqtools::ToolDriver driver(g.adminNode);
    s["admin_node"] = driver.path();
    bool ready = false;
    int config = 0;
    std::vector<long long> mru;
    CZyError err = driver.checkDevice(a.uuid.c_str(), &ready);
    if (!err.IsError())
        err = driver.getConfig(&config);
    if (!err.IsError())
        err = mruOf(driver, a.uuid, kMruRoom, &mru);
    if (report(err, "status", true))
        return kExitFailed;
    s["ready"] = ready;
    s["config"] = config;
    s["mru_extents"] = mru;
    s["stores"] = nlohmann::json::array();
    const std::pair<const char*, std::string> stores[] = {{"private", a.privateDir},
                                                          {"recall", a.recallDir}};
    for (const auto& store : stores) {
        if (store.second.empty())
            continue;
        s["stores"].push_back(storeStatus(store.first, store.second, &err));
        if (report(err, std::string("status: the ") + store.first + " store"))
            return kExitFailed;
    }
    if (!a.statsFile.empty()) {
        std::string error;
        if (!readStats(a.statsFile, &s["service"], &error)) {
            std::fprintf(stderr, "tqblk-ctl: status: %s\n", error.c_str());
            return kExitFailed;
        }
    }
    if (a.json)
        printJson(s);
    else
        printStatusText(s);
    return kExitDone;
}

// ---- The command line ----

// Builds the commands; each one's action is set in *run and called once parsing succeeded.
class CommandLine {
  public:
    CommandLine() : m_app("Backing stores and devices of the tqblk driver.", "tqblk-ctl") {
        m_app.set_version_flag("--version", std::string("tqblk-ctl ") + TQBLK_TOOLS_VERSION);
        m_app.require_subcommand(1);
        m_app.fallthrough();
        m_app.footer(kExitCodes);
        m_app.add_flag("-v,--verbose", g.verbose,
                       "On failure also print the whole error chain (every message with its "
                       "source location)");
        m_app
            .add_option("--admin-node", g.adminNode,
                        "The driver's admin node (default " TQBLK_ADMIN_NODE
                        ", or $TQBLK_ADMIN_NODE), e.g. an emulator mounted elsewhere")
            ->envname(tqtools::kAdminNodeVariable)
            ->type_name("PATH");
        addStoreCommands();
        addCheckStore();
        addDeviceCommands();
        addTuningCommands();
        addStatus();
    }

    int run(int argc, char** argv) {
        int early = tqtools::parseCommandLine(m_app, argc, argv);
        if (early >= 0)
            return early;
        return m_run();
    }

  private:
    CLI::App* command(const std::string& name, const std::string& description) {
        CLI::App* sub = m_app.add_subcommand(name, description);
        sub->footer(kExitCodes);
        return sub;
    }

    void addStoreCommands() {
        CLI::App* create =
            command("create-store",
                    "Create a store: a directory that does not exist or is empty. A directory that "
                    "holds anything, or is a store already, is refused (and left as it is) unless "
                    "--force.");
        create->add_option("KIND", m_create.kind, "private or recall")
            ->required()
            ->check(CLI::IsMember({"private", "recall"}));
        create->add_option("DIR", m_create.dir, "the store's directory")->required();
        create->add_option("UUID", m_create.uuid, "the store's UUID")->required();
        tqtools::addSize(create, "DEVICE_SIZE", &m_create.deviceSize, 1, kMaxDeviceSize,
                         "the device's size: bytes, or with K, M, G, T, KiB, MiB, GiB, TiB")
            ->required();
        tqtools::addSize(create, "EXTENT_SIZE", &m_create.extentSize, 1, kMaxExtentSize,
                         "the extent size, as DEVICE_SIZE")
            ->required();
        create->add_flag("--force", m_create.force,
                         "replace an existing store, or empty a directory that is not one");
        create->callback([this] { m_run = [this] { return createStore(m_create); }; });

        CLI::App* remove =
            command("remove-store", "Remove a store's directory; refused when DIR is not a store.");
        remove->add_option("DIR", m_dir)->required();
        remove->callback([this] { m_run = [this] { return removeStore(m_dir); }; });

        CLI::App* clear = command(
            "clear-store", "Remove every extent of a store; refused when DIR is not a store.");
        clear->add_option("DIR", m_dir)->required();
        clear->callback([this] { m_run = [this] { return clearStore(m_dir); }; });

        CLI::App* bits = command("bitmap", "The extents present in a store, in all and per chunk.");
        bits->add_option("DIR", m_dir)->required();
        bits->add_flag("--json", m_json,
                       "one object: {store, extent_count, extents_present, extents_per_chunk, "
                       "chunks: [{chunk, present}]}");
        bits->callback([this] { m_run = [this] { return bitmap(m_dir, m_json); }; });
    }

    void addCheckStore() {
        CLI::App* c = command(
            "check-store",
            "Check a store like fsck: its config, data tree and tmp. Prints one line per finding "
            "(KIND PATH: DETAIL) and a summary (DIR: N extents present of M, K problems, R "
            "repaired).");
        c->footer(
            "Exit status: 0 clean, 1 all problems repaired, 2 bad usage, 4 problems left, 8 the "
            "check could not run.\n--json prints one object: {store, extent_count, "
            "extents_present, problems, repaired, findings_dropped, locked_by_other, exit_code, "
            "findings: [{kind, path, detail, problem, repaired}]}, or {store, error: {errno, "
            "messages}, exit_code} when the check could not run.");
        c->add_option("DIR", m_check.dir)->required();
        c->add_flag("--repair", m_check.options.repair,
                    "remove leftover temporary files (takes the store's lock; removes nothing "
                    "while another process holds it)");
        c->add_flag("--prune-damaged", m_check.options.pruneDamagedExtents,
                    "also remove extent files of the wrong size or type, dangling links and "
                    "extents that differ from the verify source (recall stores recall them again)");
        c->add_option("--verify-against", m_check.options.verifyAgainst,
                      "compare every extent with an image, block device or store, byte for byte")
            ->type_name("IMAGE|STORE");
        c->add_flag("--json", m_check.json, "one JSON object (see below)");
        tqtools::addInteger(c, "--threads", &m_check.options.threads, 1, 64,
                            "walkers of the data tree (default: CPUs, up to 4)");
        c->callback([this] { m_run = [this] { return checkStore(m_check); }; });
    }

    void addDeviceCommands() {
        CLI::App* create = command("create-device", "Create a device; prints its name.");
        create->add_option("UUID", m_device.uuid)->required();
        create->add_option("--private", m_device.privateDir, "its private store")->type_name("DIR");
        create->add_option("--recall", m_device.recallDir, "its recall store")->type_name("DIR");
        create->add_flag("--auto-abort", m_device.autoAbort, "an auto-abort device");
        create->callback([this] { m_run = [this] { return createDevice(m_device); }; });

        CLI::App* wait = command("wait", "Wait until the device is ready.");
        wait->add_option("UUID", m_uuid)->required();
        tqtools::addInteger(wait, "SECONDS", &m_seconds, 0, UINT_MAX, "at most this long")
            ->required();
        wait->callback([this] {
            m_run = [this] {
                return driverCall("wait", [this](TqBlkDriverUnix& d) {
                    return d.waitForDeviceReady(m_uuid.c_str(), m_seconds);
                });
            };
        });

        CLI::App* chk = command("check", "Print ready or not-ready.");
        chk->add_option("UUID", m_uuid)->required();
        chk->callback([this] { m_run = [this] { return check(m_uuid); }; });

        using Op = CZyError (TqBlkDriverUnix::*)(const char*);
        const std::pair<const char*, Op> simple[] = {
            {"abort", &TqBlkDriverUnix::abortDevice},
            {"destroy", &TqBlkDriverUnix::destroyDevice},
            {"monitor", &TqBlkDriverUnix::monitorDevice},
            {"resubmit", &TqBlkDriverUnix::resubmitRecalls}};
        for (const auto& entry : simple) {
            const std::string name = entry.first;
            const Op op = entry.second;
            const bool takesPath = name == "abort" || name == "destroy";
            const std::map<std::string, std::string> descriptions = {
                {"abort", "Abort a device."},
                {"destroy", "Destroy a device."},
                {"monitor", "Ask the driver to monitor a device."},
                {"resubmit", "Ask the driver to resubmit a device's recalls."}};
            CLI::App* sub = command(name, descriptions.at(name));
            sub->add_option(takesPath ? "DEVICE" : "UUID", m_uuid,
                            takesPath ? "the device's UUID or its node's path" : "")
                ->required();
            sub->callback([this, name, op] {
                m_run = [this, name, op] {
                    return driverCall(
                        name, [this, op](TqBlkDriverUnix& d) { return (d.*op)(m_uuid.c_str()); });
                };
            });
        }
    }

    void addTuningCommands() {
        CLI::App* get = command("get-config", "Print the driver's configuration word.");
        get->add_flag("--json", m_json, "one object: {config}");
        get->callback([this] { m_run = [this] { return getConfig(m_json); }; });

        CLI::App* set = command("set-config", "Set the driver's configuration word.");
        tqtools::addInteger(set, "VALUE", &m_value, INT_MIN, INT_MAX, "")->required();
        set->callback([this] {
            m_run = [this] {
                return driverCall("set-config",
                                  [this](TqBlkDriverUnix& d) { return d.setConfig(m_value); });
            };
        });

        CLI::App* setMru = command("set-mru", "Set the count of a device's MRU extents.");
        setMru->add_option("UUID", m_uuid)->required();
        tqtools::addInteger(setMru, "COUNT", &m_value, 0, INT_MAX, "")->required();
        setMru->callback([this] {
            m_run = [this] {
                return driverCall("set-mru", [this](TqBlkDriverUnix& d) {
                    return d.setMRUExts(m_uuid.c_str(), m_value);
                });
            };
        });

        CLI::App* getMruCommand = command("get-mru", "Print a device's MRU extents, one a line.");
        getMruCommand->add_option("UUID", m_uuid)->required();
        tqtools::addInteger(getMruCommand, "MAX", &m_value, 0, 1 << 20, "print at most this many")
            ->required();
        getMruCommand->add_flag("--json", m_json, "one object: {device, extents: [N...]}");
        getMruCommand->callback(
            [this] { m_run = [this] { return getMru(m_uuid, m_value, m_json); }; });

        CLI::App* sizes = command("set-block-sizes", "Set a device's four block sizes.");
        sizes->add_option("UUID", m_uuid)->required();
        for (int i = 0; i < 4; ++i)
            tqtools::addSize(sizes, "S" + std::to_string(i + 1), &m_sizes[i], 0, INT_MAX,
                             i == 0 ? "sizes: bytes, or with K, M, G, KiB, MiB, GiB" : "")
                ->required();
        sizes->callback([this] {
            m_run = [this] {
                return driverCall("set-block-sizes", [this](TqBlkDriverUnix& d) {
                    return d.setBlockSizes(
                        m_uuid.c_str(), static_cast<int>(m_sizes[0]), static_cast<int>(m_sizes[1]),
                        static_cast<int>(m_sizes[2]), static_cast<int>(m_sizes[3]));
                });
            };
        });
    }

    void addStatus() {
        CLI::App* s =
            command("status",
                    "A device's state as the driver reports it (ready, configuration word, MRU "
                    "extents), the present/total extents of each store given, and the recall "
                    "service's live counters from its stats file.");
        s->add_option("UUID", m_status.uuid)->required();
        s->add_option("--recall", m_status.recallDir, "the device's recall store")
            ->type_name("DIR");
        s->add_option("--private", m_status.privateDir, "the device's private store")
            ->type_name("DIR");
        s->add_option("--stats", m_status.statsFile,
                      "the --stats-file that tqblk-recalld writes for the device")
            ->type_name("FILE");
        s->add_flag("--json", m_status.json,
                    "one object: {device, admin_node, ready, config, mru_extents, stores: "
                    "[{role, dir, uuid, device_size, extent_size, extent_count, "
                    "extents_present}], service: {the stats file's object, age_seconds}}");
        s->callback([this] { m_run = [this] { return status(m_status); }; });
    }

    CLI::App m_app;
    std::function<int()> m_run;
    CreateStoreArgs m_create;
    CheckStoreArgs m_check;
    CreateDeviceArgs m_device;
    StatusArgs m_status;
    std::string m_dir, m_uuid;
    unsigned m_seconds = 0;
    int m_value = 0;
    long long m_sizes[4] = {0, 0, 0, 0};
    bool m_json = false;
};

}  // namespace

int main(int argc, char** argv) {
    CommandLine commandLine;
    return commandLine.run(argc, argv);
}
