#ifndef TQBLK_TOOLS_REMOTEACCESS_H
#define TQBLK_TOOLS_REMOTEACCESS_H

// How the tools reach S3 (s3://...) and web servers (http(s)://...).

#include <string>

namespace tqtools {

struct RemoteAccess {
    std::string endpoint;  // S3 endpoint URL; else AWS_ENDPOINT_URL; else AWS's own
    std::string region;    // S3 region; else AWS_REGION, AWS_DEFAULT_REGION, "us-east-1"
    std::string cacert;    // a CA bundle to verify TLS servers with, besides the system's
    // http(s) credentials for each host, in a netrc(5) file, instead of in the URL (where
    // every local user sees them in the process list).
    std::string netrcFile;
    int tries = 10;             // attempts per request, the first included
    double retrySeconds = 120;  // and the time they may take, pauses included (see each user)
    // A slow attempt fails (and is retried): one below minRate bytes/s over stallSeconds, or
    // one slower on the whole than minRate after connecting.
    long minRate = 16 * 1024;  // bytes/s
    long stallSeconds = 15;
    long connectSeconds = 10;
};

}  // namespace tqtools

#endif
