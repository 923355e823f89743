// tqblk-recalld: a reference recall service for one device (see --help).
#include "DeviceWait.h"
#include "ErrorText.h"
#include "Evictor.h"
#include "HttpSource.h"
#include "Manifest.h"
#include "ManifestSource.h"
#include "Options.h"
#include "Presence.h"
#include "Progress.h"
#include "Service.h"
#include "Source.h"
#include "StartupChecks.h"
#include "Stats.h"
#include "StoreClaim.h"
#include "TopLevel.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using recalld::LogLevel;

// Signals are taken by this thread only; workers never see them mid-request. SIGINT and
// SIGTERM stop the service; SIGHUP is logged and ignored, since the service has nothing to
// reload and its log is not a file it could reopen.
class SignalWaiter {
  public:
    SignalWaiter() {
        sigemptyset(&m_signals);
        // SIGUSR1 only wakes the thread to end (finish); one sent from outside is ignored.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
            sigaddset(&m_signals, sig);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    }
    ~SignalWaiter() { finish(); }

    // Ends the waiting thread; called before what it logs to goes away.
    void finish() {
        m_done = true;
        if (m_thread.joinable()) {
            pthread_kill(m_thread.native_handle(), SIGUSR1);
            m_thread.join();
        }
    }

    // onStop runs on SIGINT or SIGTERM, after stop is interrupted (it interrupts a source's
    // waits).
    void start(recalld::Log& log, recalld::Stats& stats, std::function<void()> onStop) {
        m_thread = std::thread([this, &log, &stats, onStop] {
            while (!m_done) {
                int sig = sigwaitinfo(&m_signals, nullptr);
                if (sig == SIGHUP) {
                    log.write(LogLevel::Info, "SIGHUP received and ignored: nothing to reload");
                } else if (sig == SIGINT || sig == SIGTERM) {
                    log.write(LogLevel::Info, std::string("stopping on ") + strsignal(sig));
                    stats.setState("stopping");
                    sd_notify(0, "STOPPING=1");
                    stop.interrupt();
                    if (onStop)
                        onStop();
                    return;
                }
            }
        });
    }

    // The service's one stop token: every wait of the service ends on it at once.
    tqtools::Interrupter stop;

  private:
    sigset_t m_signals;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// Opens what the service needs and checks it. Returns an empty text or the refusal, with
// its error chain in *chain when there is one.
std::string prepare(const recalld::Options& options, recalld::Log& log,
                    std::unique_ptr<recalld::Source>* source, long long* present, long long* total,
                    std::string* chain) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> recall(
        TqBlkRecallStore::open(options.service.recallStore.c_str(), &err));
    if (!recall) {
        *chain = tqtools::chain(err);
        return tqtools::oneLine("Couldn't open the recall store " + options.service.recallStore,
                                err);
    }
    std::string detail;
    if (!options.chunkCache.empty() && !tqimage::hasManifestPrefix(options.source))
        return "--chunk-cache serves only a published image (--source manifest+URL)";
    if (tqimage::hasManifestPrefix(options.source)) {
        std::string note;
        *source = recalld::openManifestForStore(options.source, options.remote, options.chunkCache,
                                                options.service.recallStore,
                                                options.allowShortSource, &note, &detail);
        if (!*source)
            return detail;
        log.write(LogLevel::Info, note);
    } else if (!options.source.empty()) {
        // A remote source is asked for its size and checked against the device as it opens.
        std::string note;
        *source =
            recalld::openRemoteForStore(options.source, options.remote, options.service.recallStore,
                                        options.allowShortSource, &note, &detail);
        if (!*source)
            return detail;
        if (!note.empty())
            log.write(LogLevel::Warning, note);
    } else {
        std::vector<std::string> notes;
        std::string refusal = recalld::checkSource(options, *recall, &notes);
        if (!refusal.empty())
            return refusal;
        for (const std::string& note : notes)
            log.write(LogLevel::Warning, note);
        *source = options.image.empty() ? recalld::openStoreSource(options.sourceStore, &detail)
                                        : recalld::openImageSource(options.image, &detail);
        if (!*source)
            return detail;
    }
    *total = recall->m_extentCount;
    tqtools::Presence presence;
    err = tqtools::countPresent(*recall, &presence);
    *present = err.IsError() ? -1 : presence.present;
    if (err.IsError())
        log.failure(LogLevel::Warning,
                    tqtools::oneLine("Couldn't count the extents present", err) +
                        "; their count stays unknown (null in the stats file)",
                    tqtools::chain(err));
    return "";
}

int serve(int argc, char** argv) {
    recalld::Options options;
    // Extents and directories are never writable by group or others, whatever the umask.
    ::umask(::umask(0) | 022);
    int early = recalld::parseOptions(argc, argv, &options);
    if (early >= 0)
        return early;
    SignalWaiter signals;
    // A log reader that went away must not end the service: writes then fail with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    recalld::Log log(options.logSink, options.logLevel);

    // The store and the source are checked before anything in the store is removed.
    std::unique_ptr<recalld::Source> source;
    long long present = 0, total = 0;
    std::string chain;
    std::string refusal = prepare(options, log, &source, &present, &total, &chain);
    if (!refusal.empty()) {
        log.failure(LogLevel::Error, refusal, chain);
        return 1;
    }
    TqBlkStoreLock storeLock;
    int removed = 0;
    std::string detail;
    if (recalld::claimRecallStore(options.service.recallStore, &storeLock, &removed, &detail) !=
        0) {
        size_t newline = detail.find('\n');
        log.failure(LogLevel::Error, detail.substr(0, newline),
                    newline == std::string::npos ? "" : detail.substr(newline + 1));
        return 1;
    }

    recalld::Stats stats(options.service.uuid, options.service.recallStore, present, total);
    std::unique_ptr<recalld::StatsFile> statsFile;
    if (!options.statsFile.empty() || !options.metricsFile.empty())
        statsFile.reset(new recalld::StatsFile(stats, options.statsFile, options.metricsFile, log));
    stats.setRetries([&source] { return source->retries(); });
    stats.setFetched([&source] { return source->bytesFetched(); });
    recalld::Progress progress(log, stats, options.quiet);
    source->setNote([&progress](const std::string& text) { progress.problem(text, ""); });
    options.service.onServing = [&](int workers) {
        stats.setState("serving");
        progress.note("serving recall requests of " + options.service.uuid + " with " +
                      std::to_string(workers) + " workers");
        sd_notify(0, "READY=1");
    };
    signals.start(log, stats, [&source] { source->interrupt(); });
    if (removed > 0)
        progress.note("removed " + std::to_string(removed) + " leftover temporary files from " +
                      options.service.recallStore + "/tmp");
    // A service started before its driver or device (at boot) waits for them rather than fail.
    int result = 0;
    if (options.waitDevice > 0) {
        stats.setState("waiting");
        result = recalld::waitForDevice(options.service.adminNode, options.service.uuid,
                                        options.waitDevice, signals.stop,
                                        [&log](const std::string& text) {
                                            log.write(LogLevel::Info, text);
                                            sd_notifyf(0, "STATUS=%s", text.c_str());
                                        });
    }
    // A bounded store is trimmed only while its lock is held, which it is from here on, and
    // once its device is there.
    std::unique_ptr<recalld::Evictor> evictor;
    if (result == 0 && options.evict.any()) {
        evictor.reset(new recalld::Evictor(options.evict, options.service.uuid,
                                           options.service.recallStore, options.service.adminNode,
                                           progress, stats));
        if (evictor->start(&detail) != 0) {
            log.write(LogLevel::Error, detail);
            signals.finish();
            return 1;
        }
        options.service.evictor = options.service.background.evictor = evictor.get();
    }
    // Stopped while waiting: nothing to serve. A wait that ran out: serving reports why.
    if (result == ECANCELED) {
        result = 0;
    } else {
        recalld::Service service(options.service, *source, progress);
        result = service.run(signals.stop);
    }
    if (evictor)
        evictor->stop();
    signals.finish();
    stats.setState("stopped");
    progress.finish();
    return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return tqtools::runMain("tqblk-recalld", [&] { return serve(argc, argv); });
}
