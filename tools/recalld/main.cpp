// tqblk-recalld: a reference recall service for one device.
//
//   tqblk-recalld --uuid UUID --recall-store DIR
//                 (--image FILE | --source-store DIR | --source URL)
//                 [--workers N] [--no-sync] [--quiet] [remote, readahead, hydration options]
//
// Workers fetch the device's recall requests, put each extent in the recall store, make it
// durable and answer the driver. SIGINT or SIGTERM stops the service cleanly, and so does the
// destruction of its device. On start it locks the recall store (one service per store),
// removes the temporary files a killed service left, and asks the driver to resubmit the
// requests that a stopped service had fetched and not answered.
#include "Background.h"
#include "HttpSource.h"
#include "Progress.h"
#include "Service.h"
#include "Source.h"
#include "StoreClaim.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

struct Arguments {
    recalld::ServiceOptions service;
    std::string image;
    std::string sourceStore;
    bool sync = true;
    bool quiet = false;
    // Remote sources, readahead and hydration.
    std::string source;  // --source URL
    recalld::RemoteOptions remote;
    bool allowShortSource = false;
    int readahead = -1;  // -1: the default of the source's kind
};

void usage() {
    std::fprintf(stderr,
                 "usage: tqblk-recalld --uuid UUID --recall-store DIR "
                 "(--image FILE | --source-store DIR)\n"
                 "                     [--workers N] [--no-sync] [--quiet]\n"
                 "  --image FILE         read extents from an image file or block device\n"
                 "  --source-store DIR   hard-link or copy extents from another store\n"
                 "  --workers N          worker threads (default 2)\n"
                 "  --no-sync            no syncs: faster, but a power cut may lose or tear\n"
                 "                       extents the driver was told are in place; only for\n"
                 "                       throwaway stores (a tmpfs)\n"
                 "  --durable            the default: make each extent's bytes, then its\n"
                 "                       directory entries durable before answering, with\n"
                 "                       syncs of the store's whole file system (syncfs)\n"
                 "                       shared by the workers; they also flush other dirty\n"
                 "                       data there, so give the store a file system of its own\n"
                 "  --quiet              no log line per recalled extent\n"
                 "  --source URL         where extents come from: s3://BUCKET/KEY, http(s)://...,\n"
                 "                       file://PATH or a plain path (an image)\n"
                 "  --endpoint URL       S3 endpoint (MinIO, Ceph...; else AWS_ENDPOINT_URL),\n"
                 "                       addressed path-style\n"
                 "  --region NAME        S3 region (else AWS_REGION, or us-east-1)\n"
                 "  --cacert FILE        also trust the CAs in FILE for https\n"
                 "  --remote-tries N     attempts per remote request (default 10)\n"
                 "  --remote-retry-time S  seconds those may take in all (default 120)\n"
                 "  --allow-short-source read a source's missing tail as zeros\n"
                 "  --readahead N        bring up to N extents in ahead of sequential recalls\n"
                 "                       (default 32 for remote sources, 0 for local ones)\n"
                 "  --hydrate            bring in every missing extent in the background\n"
                 "  --hydrate-rate MIB   at most MIB MiB/s (default: unbounded)\n"
                 "S3 credentials come from AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and\n"
                 "AWS_SESSION_TOKEN, else from ~/.aws/credentials (profile AWS_PROFILE).\n");
}

// The options of remote sources, readahead and hydration.
template <typename Value>
bool parseRemote(const std::string& a, Value& value, Arguments* args) {
    std::string text;
    char* end = nullptr;
    if (a == "--allow-short-source" || a == "--hydrate") {
        (a == "--hydrate" ? args->service.background.hydrate : args->allowShortSource) = true;
        return true;
    }
    if (a == "--source")
        return value(&args->source);
    if (a == "--endpoint")
        return value(&args->remote.endpoint);
    if (a == "--region")
        return value(&args->remote.region);
    if (a == "--cacert")
        return value(&args->remote.cacert);
    if (!value(&text))
        return false;
    errno = 0;
    if (a == "--remote-tries" || a == "--readahead") {
        long n = std::strtol(text.c_str(), &end, 10);
        bool ok = errno == 0 && *end == '\0' && !text.empty() &&
                  n >= (a == "--readahead" ? 0 : 1) && n <= 100000;
        (a == "--readahead" ? args->readahead : args->remote.tries) = static_cast<int>(n);
        return ok;
    }
    if (a == "--remote-retry-time" || a == "--hydrate-rate") {
        double n = std::strtod(text.c_str(), &end);
        bool ok = errno == 0 && *end == '\0' && !text.empty() && n > 0 && n < 1e9;
        (a == "--hydrate-rate" ? args->service.background.hydrateRate : args->remote.retrySeconds) =
            n;
        return ok;
    }
    return false;
}

bool parse(int argc, char** argv, Arguments* args) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string workers;
        if (a == "--uuid" && value(&args->service.uuid))
            continue;
        if (a == "--recall-store" && value(&args->service.recallStore))
            continue;
        if (a == "--image" && value(&args->image))
            continue;
        if (a == "--source-store" && value(&args->sourceStore))
            continue;
        if (a == "--workers" && value(&workers)) {
            args->service.workers = std::atoi(workers.c_str());
            if (args->service.workers >= 1 && args->service.workers <= 256)
                continue;
        }
        if (a == "--durable" || a == "--no-sync") {
            args->sync = a == "--durable";
            continue;
        }
        if (a == "--quiet") {
            args->quiet = true;
            continue;
        }
        if (parseRemote(a, value, args))
            continue;
        return false;
    }
    // --source with a local image is --image.
    if (!args->source.empty() && !recalld::isRemoteUrl(args->source)) {
        args->image = args->source.rfind("file://", 0) == 0 ? args->source.substr(7) : args->source;
        args->source.clear();
    }
    int sources = !args->image.empty() + !args->sourceStore.empty() + !args->source.empty();
    return !args->service.uuid.empty() && !args->service.recallStore.empty() && sources == 1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!parse(argc, argv, &args)) {
        usage();
        return 2;
    }
    // Signals are taken by one thread only; workers never see them mid-request.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // A log reader that went away must not end the service: writes then fail with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    TqBlkStoreLock storeLock;
    int removed = 0;
    std::string detail;
    if (recalld::claimRecallStore(args.service.recallStore, &storeLock, &removed, &detail) != 0) {
        std::fprintf(stderr, "tqblk-recalld: %s\n", detail.c_str());
        return 1;
    }
    args.service.sync = args.sync;
    // Remote sources: opened and checked against the device here; readahead by default.
    std::string sourceNote;
    args.service.background.readahead =
        args.readahead >= 0 ? args.readahead : (args.source.empty() ? 0 : 32);
    args.service.background.readaheadWorkers = std::max(2, args.service.workers);
    std::unique_ptr<recalld::Source> source =
        !args.source.empty()
            ? recalld::openRemoteForStore(args.source, args.remote, args.service.recallStore,
                                          args.allowShortSource, &sourceNote, &detail)
        : args.image.empty() ? recalld::openStoreSource(args.sourceStore, &detail)
                             : recalld::openImageSource(args.image, &detail);
    if (!source) {
        std::fprintf(stderr, "tqblk-recalld: %s\n", detail.c_str());
        return 1;
    }

    recalld::Progress progress(stderr, args.quiet);
    source->setNote([&progress](const std::string& text) { progress.note(text); });
    if (!sourceNote.empty())
        progress.note(sourceNote);
    recalld::Service service(args.service, *source, progress);
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread signalWaiter([&] {
        const timespec tick{0, 100 * 1000 * 1000};
        while (!done) {
            int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) {
                progress.note(std::string("stopping on ") + strsignal(sig));
                stop = true;
                source->interrupt();
                return;
            }
        }
    });
    if (removed > 0)
        progress.note("removed " + std::to_string(removed) + " leftover temporary files from " +
                      args.service.recallStore + "/tmp");
    progress.note("serving recall requests of " + args.service.uuid + " with " +
                  std::to_string(args.service.workers) + " workers");
    int result = service.run(stop);
    done = true;
    signalWaiter.join();
    progress.finish();
    return result == 0 ? 0 : 1;
}
