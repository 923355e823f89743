#ifndef TQBLK_RECALLD_OPTIONS_H
#define TQBLK_RECALLD_OPTIONS_H

#include "Evictor.h"
#include "HttpSource.h"
#include "Log.h"
#include "Service.h"

#include <string>

namespace recalld {

// Everything the command line sets.
struct Options {
    ServiceOptions service;
    // The source: exactly one kind is given.
    std::string image;        // --image FILE
    std::string sourceStore;  // --source-store DIR
    std::string source;       // --source URL of a remote object (s3://, http://, https://)
    RemoteOptions remote;
    std::string chunkCache;  // --chunk-cache DIR: the host's checked extents, by digest
    int readahead = -1;      // extents; -1: the default of the source's kind
    int hydrateRate = 0;     // MiB/s; 0: unbounded
    bool allowShortSource = false;
    bool quiet = false;
    LogSink logSink = LogSink::Stderr;
    LogLevel logLevel = LogLevel::Info;
    std::string statsFile;
    std::string metricsFile;  // --metrics-file: Prometheus' text format
    int waitDevice = 0;       // seconds to wait for the admin node and the device
    int remoteMinRate = 16;   // KiB/s
    EvictOptions evict;       // --store-limit, --store-watermarks
};

// Parses the command line into *options. Returns -1 when the service is to start, else
// the exit status: 0 after --help or --version, 2 after a mistake (named on stderr).
int parseOptions(int argc, char** argv, Options* options);

}  // namespace recalld

#endif
