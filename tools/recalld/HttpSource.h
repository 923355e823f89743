#ifndef TQBLK_RECALLD_HTTPSOURCE_H
#define TQBLK_RECALLD_HTTPSOURCE_H

#include "Source.h"

#include <memory>
#include <string>

namespace recalld {

// How remote sources (s3://, http://, https://) are reached.
struct RemoteOptions {
    std::string endpoint;       // S3 endpoint URL; else AWS_ENDPOINT_URL; else AWS's own
    std::string region;         // S3 region; else AWS_REGION, AWS_DEFAULT_REGION, "us-east-1"
    std::string cacert;         // a CA bundle to verify TLS servers with, besides the system's
    int tries = 10;             // attempts per request, the first included
    double retrySeconds = 120;  // and the time they may take, pauses included
    // Stalled transfer: less than 1 byte/s for this long fails the attempt.
    long stallSeconds = 15;
    long connectSeconds = 10;
};

// Whether the URL names a remote source this file serves.
bool isRemoteUrl(const std::string& url);

// An object read with ranged GETs of each extent: "s3://BUCKET/KEY" (signed with AWS SigV4,
// path-style at a custom endpoint, virtual-hosted at AWS) or an http(s) URL of any server
// that honours Range requests. Asks for the object's size and version at once (retrying
// transient failures); null with *error (EACCES, ENOENT, EIO...) and *detail when it cannot.
//
// Each response must be exactly the range asked for, of the version seen at start (If-Match
// is sent with a strong ETag; the ETag, or else Last-Modified, and the total size are
// compared on every response). A changed object fails this and every later extent with
// ESTALE. Transient failures (no connection, reset, timeout, stall, 5xx, 429, a short or
// wrong body) are retried with exponential backoff and full jitter within tries and
// retrySeconds, then fail with EIO; 403 fails with EACCES, 404 with ENOENT, others with EIO.
// Bytes past the end of a shorter object read as zeros. One connection per concurrent
// caller, kept and reused.
std::unique_ptr<Source> openRemoteSource(const std::string& url, const RemoteOptions& options,
                                         int* error, std::string* detail);

// The start-up check of a remote source against the device: refuses (false, *detail giving
// both sizes) a source shorter than the device unless allowShort; notes a longer one.
bool checkRemoteSize(const Source& source, long long deviceSize, bool allowShort, std::string* note,
                     std::string* detail);

// Opens the remote source for the device of a recall store and checks it against the
// device's size; *note receives what the log should say about it. Null with *detail when the
// service must not start.
std::unique_ptr<Source> openRemoteForStore(const std::string& url, const RemoteOptions& options,
                                           const std::string& storeDir, bool allowShort,
                                           std::string* note, std::string* detail);

}  // namespace recalld

#endif
