// tqblk-recalld: a reference recall service for one device.
//
//   tqblk-recalld --uuid UUID --recall-store DIR (--image FILE | --source-store DIR)
//                 [--workers N] [--no-sync] [--quiet]
//
// Workers fetch the device's recall requests, put each extent in the recall store, make it
// durable and answer the driver. SIGINT or SIGTERM stops the service cleanly, and so does the
// destruction of its device. On start it locks the recall store (one service per store),
// removes the temporary files a killed service left, and asks the driver to resubmit the
// requests that a stopped service had fetched and not answered.
#include "Progress.h"
#include "Service.h"
#include "Source.h"
#include "StoreClaim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
                 "  --quiet              no log line per recalled extent\n");
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
        return false;
    }
    return !args->service.uuid.empty() && !args->service.recallStore.empty() &&
           (args->image.empty() != args->sourceStore.empty());
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
    std::unique_ptr<recalld::Source> source =
        args.image.empty() ? recalld::openStoreSource(args.sourceStore, &detail)
                           : recalld::openImageSource(args.image, &detail);
    if (!source) {
        std::fprintf(stderr, "tqblk-recalld: %s\n", detail.c_str());
        return 1;
    }

    recalld::Progress progress(stderr, args.quiet);
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
