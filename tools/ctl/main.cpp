// tqblk-ctl: backing stores and devices from the command line, for scripts, operators and
// developers working against the driver or its emulator.
#include "Cli.h"
#include "Commands.h"
#include "Numbers.h"
#include "ToolDriver.h"
#include "TopLevel.h"

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
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ctl;

const char kExitCodes[] =
    "Exit status: 0 done, 1 the operation failed, 2 bad usage (check-store has its own: see\n"
    "'tqblk-ctl check-store --help').\n"
    "Environment: TQBLK_ADMIN_NODE, the driver's admin node when --admin-node is not given.";

constexpr long long kMaxDeviceSize = 1LL << 60;

// Every path, UUID and name an option takes must name something.
const CLI::Validator named = tqtools::nonEmpty();
constexpr long long kMaxExtentSize = 1LL << 30;

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
            ->type_name("PATH")
            ->check(named);
        addStoreCommands();
        addCheckStore();
        addDeviceCommands();
        addTuningCommands();
        addStatus();
    }

    int run(int argc, char** argv) { return tqtools::runSubcommand(m_app, argc, argv, m_run); }

  private:
    CLI::App* command(const std::string& name, const std::string& description) {
        return tqtools::addSubcommand(m_app, name, description, kExitCodes);
    }

    // Makes the subcommand one call into the driver, reported under the subcommand's name.
    void callsDriver(CLI::App* sub, std::function<CZyError(TqBlkDriverUnix&)> op) {
        sub->callback([this, sub, op = std::move(op)] {
            m_run = [sub, op] { return driverCall(sub->get_name(), op); };
        });
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
        create->add_option("DIR", m_create.dir, "the store's directory")->required()->check(named);
        create->add_option("UUID", m_create.uuid, "the store's UUID")->required()->check(named);
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
        remove->add_option("DIR", m_dir)->required()->check(named);
        remove->callback([this] { m_run = [this] { return removeStore(m_dir); }; });

        CLI::App* clear = command(
            "clear-store", "Remove every extent of a store; refused when DIR is not a store.");
        clear->add_option("DIR", m_dir)->required()->check(named);
        clear->callback([this] { m_run = [this] { return clearStore(m_dir); }; });

        CLI::App* trim = command("trim-store",
                                 "Remove the extents of a recall store least recently written or "
                                 "read until it occupies at most SIZE bytes; offline: refused "
                                 "while a service holds the store.");
        trim->add_option("DIR", m_dir)->required()->check(named);
        tqtools::addSize(trim, "--to", &m_trimTo, 0, INT64_MAX,
                         "the bytes the store may occupy after (allocated blocks)")
            ->required();
        trim->callback([this] { m_run = [this] { return trimStore(m_dir, m_trimTo); }; });

        CLI::App* bits = command("bitmap", "The extents present in a store, in all and per chunk.");
        bits->add_option("DIR", m_dir)->required()->check(named);
        bits->add_flag("--json", m_json,
                       "one object: {store, extent_count, extents_present, extents_per_chunk, "
                       "chunks: [{chunk, present}], present: [[first, last]]}, listing only "
                       "chunks with extents and runs of present extents");
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
        c->add_option("DIR", m_check.dir)->required()->check(named);
        c->add_flag("--repair", m_check.options.repair,
                    "remove leftover temporary files (takes the store's lock; removes nothing "
                    "while another process holds it)");
        c->add_flag("--prune-damaged", m_check.options.pruneDamagedExtents,
                    "also remove extent files of the wrong size or type, dangling links and, in a "
                    "recall store (--kind recall), extents that differ from the verify source; "
                    "refused for a private store");
        c->add_option("--kind", m_check.storeKind,
                      "what the store is: a device's private store (extents that differ from the "
                      "verify source are 'changed', not damage) or a recall store")
            ->check(CLI::IsMember({"private", "recall"}));
        c->add_flag("--allow-private-prune", m_check.options.allowPrivatePrune,
                    "prune a private store, or one not named a recall store, all the same (its "
                    "pruned extents' data is lost)");
        tqtools::addInteger(c, "--temp-age", &m_check.options.tempFileMinAge, 0, LLONG_MAX,
                            "seconds since a temporary file changed before it counts as a "
                            "leftover; younger ones may be writes in flight (default 900)")
            ->type_name("SECONDS");
        c->add_option("--verify-against", m_check.options.verifyAgainst,
                      "compare every extent with an image, block device or store, byte for "
                      "byte; or with a published image's manifest (.../manifests/NAME in a "
                      "directory, file://, s3:// or http(s):// root): each present extent must "
                      "hash to its digest, or be zeros")
            ->type_name("IMAGE|STORE|MANIFEST")
            ->check(named);
        c->add_option("--endpoint", m_check.endpoint, "S3 endpoint of a manifest's s3:// root")
            ->type_name("URL");
        c->add_option("--region", m_check.region, "its S3 region")->type_name("NAME");
        c->add_option("--cacert", m_check.cacert, "also trust the CAs in FILE for https")
            ->type_name("FILE");
        c->add_option("--netrc-file", m_check.netrcFile, "http(s) credentials per host")
            ->type_name("FILE");
        c->add_flag("--json", m_check.json, "one JSON object (see below)");
        tqtools::addInteger(c, "--threads", &m_check.options.threads, 1, 64,
                            "walkers of the data tree (default: TQBLK_THREADS, else a few per "
                            "CPU, up to 8)");
        c->callback([this] { m_run = [this] { return checkStore(m_check); }; });
    }

    void addDeviceCommands() {
        CLI::App* create = command("create-device", "Create a device; prints its name.");
        create->add_option("UUID", m_device.uuid)->required()->check(named);
        create->add_option("--private", m_device.privateDir, "its private store")
            ->type_name("DIR")
            ->check(named);
        create->add_option("--recall", m_device.recallDir, "its recall store")
            ->type_name("DIR")
            ->check(named);
        create->add_flag("--auto-abort", m_device.autoAbort, "an auto-abort device");
        create->callback([this] { m_run = [this] { return createDevice(m_device); }; });

        CLI::App* wait = command("wait", "Wait until the device is ready.");
        wait->add_option("UUID", m_uuid)->required()->check(named);
        tqtools::addInteger(wait, "SECONDS", &m_seconds, 0, UINT_MAX, "at most this long")
            ->required();
        callsDriver(wait, [this](TqBlkDriverUnix& d) {
            return d.waitForDeviceReady(m_uuid.c_str(), m_seconds);
        });

        CLI::App* chk = command("check", "Print ready or not-ready.");
        chk->add_option("UUID", m_uuid)->required()->check(named);
        chk->callback([this] { m_run = [this] { return check(m_uuid); }; });

        using Op = CZyError (TqBlkDriverUnix::*)(const char*);
        struct Simple {
            const char* name;
            const char* description;
            Op op;
            bool takesPath;  // the device's UUID or its node's path
        };
        const Simple simple[] = {
            {"abort", "Abort a device.", &TqBlkDriverUnix::abortDevice, true},
            {"destroy", "Destroy a device.", &TqBlkDriverUnix::destroyDevice, true},
            {"monitor", "Ask the driver to monitor a device.", &TqBlkDriverUnix::monitorDevice,
             false},
            {"resubmit", "Ask the driver to resubmit a device's recalls.",
             &TqBlkDriverUnix::resubmitRecalls, false}};
        for (const Simple& entry : simple) {
            const Op op = entry.op;
            CLI::App* sub = command(entry.name, entry.description);
            sub->add_option(entry.takesPath ? "DEVICE" : "UUID", m_uuid,
                            entry.takesPath ? "the device's UUID or its node's path" : "")
                ->required()
                ->check(named);
            callsDriver(sub, [this, op](TqBlkDriverUnix& d) { return (d.*op)(m_uuid.c_str()); });
        }
    }

    void addTuningCommands() {
        CLI::App* get = command("get-config", "Print the driver's configuration word.");
        get->add_flag("--json", m_json, "one object: {config}");
        get->callback([this] { m_run = [this] { return getConfig(m_json); }; });

        CLI::App* set = command("set-config", "Set the driver's configuration word.");
        tqtools::addInteger(set, "VALUE", &m_value, INT_MIN, INT_MAX, "")->required();
        callsDriver(set, [this](TqBlkDriverUnix& d) { return d.setConfig(m_value); });

        CLI::App* setMru = command("set-mru", "Set the count of a device's MRU extents.");
        setMru->add_option("UUID", m_uuid)->required()->check(named);
        tqtools::addInteger(setMru, "COUNT", &m_value, 0, INT_MAX, "")->required();
        callsDriver(setMru,
                    [this](TqBlkDriverUnix& d) { return d.setMRUExts(m_uuid.c_str(), m_value); });

        CLI::App* getMruCommand = command("get-mru", "Print a device's MRU extents, one a line.");
        getMruCommand->add_option("UUID", m_uuid)->required()->check(named);
        tqtools::addInteger(getMruCommand, "MAX", &m_value, 0, 1 << 20, "print at most this many")
            ->required();
        getMruCommand->add_flag("--json", m_json, "one object: {device, extents: [N...]}");
        getMruCommand->callback(
            [this] { m_run = [this] { return getMru(m_uuid, m_value, m_json); }; });

        CLI::App* sizes = command("set-block-sizes", "Set a device's four block sizes.");
        sizes->add_option("UUID", m_uuid)->required()->check(named);
        for (int i = 0; i < 4; ++i)
            tqtools::addSize(sizes, "S" + std::to_string(i + 1), &m_sizes[i], 0, INT_MAX,
                             i == 0 ? "sizes: bytes, or with K, M, G, KiB, MiB, GiB" : "")
                ->required();
        callsDriver(sizes, [this](TqBlkDriverUnix& d) {
            return d.setBlockSizes(m_uuid.c_str(), static_cast<int>(m_sizes[0]),
                                   static_cast<int>(m_sizes[1]), static_cast<int>(m_sizes[2]),
                                   static_cast<int>(m_sizes[3]));
        });
    }

    void addStatus() {
        CLI::App* s =
            command("status",
                    "A device's state as the driver reports it (ready, configuration word, MRU "
                    "extents), the present/total extents of each store given, and the recall "
                    "service's live counters from its stats file.");
        s->add_option("UUID", m_status.uuid)->required()->check(named);
        s->add_option("--recall", m_status.recallDir, "the device's recall store")
            ->type_name("DIR")
            ->check(named);
        s->add_option("--private", m_status.privateDir, "the device's private store")
            ->type_name("DIR")
            ->check(named);
        s->add_option("--stats", m_status.statsFile,
                      "the --stats-file that tqblk-recalld writes for the device")
            ->type_name("FILE")
            ->check(named);
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
    long long m_trimTo = 0;
    unsigned m_seconds = 0;
    int m_value = 0;
    long long m_sizes[4] = {0, 0, 0, 0};
    bool m_json = false;
};

}  // namespace

int main(int argc, char** argv) {
    return tqtools::runMain("tqblk-ctl", [&] {
        CommandLine commandLine;
        return commandLine.run(argc, argv);
    });
}
