#include "Options.h"

#include "Cli.h"
#include "Manifest.h"
#include "ManifestSource.h"

#include <algorithm>
#include <cstdint>

namespace recalld {
namespace {

const char kDescription[] =
    "A recall service for one device: workers fetch the device's recall requests, put each\n"
    "extent in the recall store from the source, make it durable and answer the driver.\n"
    "SIGINT or SIGTERM stops it cleanly, and so does the destruction of its device; SIGHUP is\n"
    "logged and ignored (there is nothing to reload). On start it checks the source against\n"
    "the recall store's geometry, locks the store (one service per store), removes the\n"
    "temporary files a killed service left, and asks the driver to resubmit the requests a\n"
    "stopped service had fetched and not answered.";

const char kFooter[] =
    "Exit status: 0 stopped cleanly, 1 could not start or failed, 2 bad usage.\n"
    "Environment: TQBLK_ADMIN_NODE, the driver's admin node when --admin-node is not given.";

// Where extents come from: exactly one source.
void addSourceOptions(CLI::App& app, Options* options) {
    CLI::Option_group* sources = app.add_option_group("Sources", "where extents come from");
    sources
        ->add_option("--image", options->image,
                     "an image file or block device holding the device's bytes from offset 0")
        ->type_name("FILE")
        ->check(tqtools::nonEmpty());
    sources
        ->add_option("--source-store", options->sourceStore,
                     "another store: extents are hard-linked or copied from it")
        ->type_name("DIR")
        ->check(tqtools::nonEmpty());
    sources
        ->add_option("--source", options->source,
                     "s3://BUCKET/KEY, an http(s):// URL of a server that honours Range "
                     "requests, or file://PATH or a plain path (an image); or "
                     "manifest+LOCATION, a published image's .../manifests/NAME in a directory, "
                     "file://, s3:// or http(s):// root, every extent checked against its digest")
        ->type_name("URL")
        ->check(tqtools::nonEmpty());
    sources->require_option(1);
}

// How remote sources are reached, and the work beside demand recalls.
void addRemoteOptions(CLI::App& app, Options* options) {
    ServiceOptions& service = options->service;
    CLI::Option_group* remote = app.add_option_group("Remote sources");
    remote
        ->add_option("--endpoint", options->remote.endpoint,
                     "S3 endpoint for MinIO, Ceph and other S3 stores, addressed path-style "
                     "(else AWS_ENDPOINT_URL, else AWS)")
        ->type_name("URL")
        ->check(tqtools::nonEmpty());
    remote
        ->add_option("--region", options->remote.region,
                     "S3 region (else AWS_REGION, else us-east-1)")
        ->type_name("NAME")
        ->check(tqtools::nonEmpty());
    remote
        ->add_option("--cacert", options->remote.cacert,
                     "also trust the CAs in FILE for https (the system's CAs are always used)")
        ->type_name("FILE")
        ->check(tqtools::nonEmpty());
    tqtools::addInteger(remote, "--remote-tries", &options->remote.tries, 1, 1000,
                        "attempts per remote request, the first included (default 10)");
    tqtools::addInteger(remote, "--remote-retry-time", &options->remote.retrySeconds, 1, 86400,
                        "seconds the attempts of one request may take in all (default 120)");
    tqtools::addInteger(remote, "--remote-min-rate", &options->remoteMinRate, 1, 1 << 20,
                        "an attempt slower than N KiB/s (over 15 s, or on the whole) fails and "
                        "is retried (default 16)");
    remote
        ->add_option("--netrc-file", options->remote.netrcFile,
                     "http(s) credentials per host from this netrc(5) file, kept out of the URL")
        ->type_name("FILE");
    remote
        ->add_option("--chunk-cache", options->chunkCache,
                     "keep the checked extents of a manifest source in DIR, shared by the "
                     "host's services, and hard-link those found there into the store (DIR is "
                     "never trimmed by the service)")
        ->type_name("DIR")
        ->check(tqtools::nonEmpty());
    remote->add_flag("--allow-unversioned-source", options->remote.allowUnversioned,
                     "serve an http(s) source that gives neither ETag nor Last-Modified, whose "
                     "change mid-run goes unseen (refused otherwise)");
    tqtools::addInteger(remote, "--readahead", &options->readahead, 0, 4096,
                        "bring in up to N extents ahead of sequential recalls (default 32; 0 "
                        "for a local source with --no-sync)");
    remote->add_flag("--hydrate", service.background.hydrate,
                     "bring in every missing extent in the background, below demand recalls");
    tqtools::addInteger(remote, "--hydrate-rate", &options->hydrateRate, 1, 1 << 20,
                        "hydrate at most N MiB/s (default: unbounded)");
}

// A bounded recall store: the limit and its watermarks, "HIGH,LOW" in percent of it.
void addStoreLimitOptions(CLI::App& app, Options* options) {
    EvictOptions& evict = options->evict;
    tqtools::addSize(&app, "--store-limit", &evict.limit, 4096, INT64_MAX,
                     "keep the recall store under SIZE bytes (allocated blocks): past the high "
                     "watermark the coldest extents are evicted down to the low one, and "
                     "--hydrate stops where the device does not fit (default: unbounded)");
    tqtools::addChecked(&app, "--store-watermarks", "HIGH,LOW",
                        "eviction starts above HIGH % of --store-limit and ends at LOW % "
                        "(default 95,80)",
                        [&evict](const std::string& text) -> std::string {
                            const size_t comma = text.find(',');
                            long long high = 0, low = 0;
                            std::string error =
                                comma == std::string::npos
                                    ? "--store-watermarks: \"" + text + "\" is not HIGH,LOW"
                                    : tqtools::parseInteger("--store-watermarks HIGH",
                                                            text.substr(0, comma), 1, 100, &high);
                            if (error.empty())
                                error = tqtools::parseInteger("--store-watermarks LOW",
                                                              text.substr(comma + 1), 1, 100, &low);
                            if (error.empty() && low >= high)
                                error = "--store-watermarks: LOW must be below HIGH";
                            if (error.empty()) {
                                evict.highPercent = static_cast<int>(high);
                                evict.lowPercent = static_cast<int>(low);
                            }
                            return error;
                        })
        ->needs(app.get_option("--store-limit"));
}

// How the workers serve.
void addServiceOptions(CLI::App& app, Options* options) {
    ServiceOptions& service = options->service;
    app.add_flag("--allow-short-source", options->allowShortSource,
                 "serve a source shorter than the device: the extents past its end read as "
                 "zeros (refused otherwise)");
    tqtools::addInteger(&app, "--workers", &service.workers, 1, 256, "worker threads (default 2)");
    app.add_flag_callback(
        "--durable", [&service] { service.sync = true; },
        "the default: make each extent's bytes (fdatasync of its own file), then its "
        "directory entries (fsync of its directories, shared by the workers) durable before "
        "answering");
    app.add_flag_callback(
        "--no-sync", [&service] { service.sync = false; },
        "no syncs: faster, but a power cut may lose or tear extents the driver was told are "
        "in place; only for throwaway stores (a tmpfs)");
    app.add_flag("--quiet", options->quiet, "no log line per recalled extent");
    addStoreLimitOptions(app, options);
}

// The log and the counters.
void addReportOptions(CLI::App& app, Options* options, bool* verbose) {
    tqtools::addChoice<LogSink>(
        &app, "--log", &options->logSink,
        {{"stderr", LogSink::Stderr}, {"syslog", LogSink::Syslog}, {"journal", LogSink::Journal}},
        "where the log goes: stderr (default, lines with a UTC timestamp and a level), syslog "
        "or journal");
    tqtools::addChoice<LogLevel>(&app, "--log-level", &options->logLevel,
                                 {{"error", LogLevel::Error},
                                  {"warning", LogLevel::Warning},
                                  {"info", LogLevel::Info},
                                  {"debug", LogLevel::Debug}},
                                 "error, warning, info (default) or debug: debug adds each "
                                 "failure's error chain on indented lines");
    app.add_flag("-v,--verbose", *verbose, "the same as --log-level debug");
    app.add_option("--stats-file", options->statsFile,
                   "write the live counters there as JSON once a second (atomically: a "
                   "temporary file renamed over it); read by tqblk-ctl status --stats")
        ->type_name("FILE")
        ->check(tqtools::nonEmpty());

    app.add_option("--metrics-file", options->metricsFile,
                   "write the counters there for Prometheus (node-exporter's textfile "
                   "collector) once a second, atomically like the stats file")
        ->type_name("FILE")
        ->check(tqtools::nonEmpty());
    tqtools::addInteger(&app, "--wait-device", &options->waitDevice, 0, 86400,
                        "wait up to N seconds for the admin node and the device to appear "
                        "(default 0: fail at once)");
    app.add_option("--admin-node", options->service.adminNode,
                   "the driver's admin node (default /dev/tqblk/admin, or $TQBLK_ADMIN_NODE)")
        ->envname("TQBLK_ADMIN_NODE")
        ->type_name("PATH")
        ->check(tqtools::nonEmpty());
}

// Settles what the options imply once they are parsed.
void settleOptions(Options* options) {
    ServiceOptions& service = options->service;
    // --source with a local image is --image.
    if (!options->source.empty() && !isRemoteUrl(options->source) &&
        !tqimage::hasManifestPrefix(options->source)) {
        const std::string file = "file://";
        options->image = options->source.compare(0, file.size(), file) == 0
                             ? options->source.substr(file.size())
                             : options->source;
        options->source.clear();
    }
    options->remote.minRate = options->remoteMinRate * 1024L;
    // A recall waits for the source, or for two journal commits when it syncs: readahead keeps
    // more of them in flight. Only a local source without syncs answers faster alone.
    const bool quick = options->source.empty() && !service.sync;
    service.background.readahead = options->readahead >= 0 ? options->readahead : (quick ? 0 : 32);
    service.background.readaheadWorkers = std::max(2, service.workers);
    service.background.hydrateRate = static_cast<double>(options->hydrateRate);
}

}  // namespace

int parseOptions(int argc, char** argv, Options* options) {
    CLI::App app(kDescription, "tqblk-recalld");
    app.set_version_flag("--version", std::string("tqblk-recalld ") + TQBLK_TOOLS_VERSION);
    app.footer(kFooter);
    app.add_option("--uuid", options->service.uuid, "the device served")
        ->required()
        ->check(tqtools::nonEmpty());
    app.add_option("--recall-store", options->service.recallStore, "its recall store")
        ->required()
        ->type_name("DIR")
        ->check(tqtools::nonEmpty());
    addSourceOptions(app, options);
    addRemoteOptions(app, options);
    addServiceOptions(app, options);
    bool verbose = false;
    addReportOptions(app, options, &verbose);
    int result = tqtools::parseCommandLine(app, argc, argv);
    if (result >= 0)
        return result;
    settleOptions(options);
    if (verbose)
        options->logLevel = LogLevel::Debug;
    return result;
}

}  // namespace recalld
