#ifndef TQBLK_TOOLS_HTTPJUDGE_H
#define TQBLK_TOOLS_HTTPJUDGE_H

// What an HTTP response means for the request that brought it, without any transfer code:
// the headers a response gave, what was asked of it, and the outcome (0 or an errno, whether
// another try may help, and the message).

#include "Retry.h"

#include <cstddef>
#include <string>

namespace tqtools {

// What one response said (the last one, after redirects or interim answers).
struct HttpSeen {
    long status = 0;
    std::string contentRange;
    std::string etag;
    std::string lastModified;
    long long contentLength = -1;
    std::string errorBody;   // the start of a failure's body (S3's XML names the error)
    long long received = 0;  // body bytes kept
    bool overflow = false;   // more body bytes came than were asked for
};

// Reads one header line into *seen. A status line ("HTTP/1.1 206 ...") starts a new response:
// what the last one said is forgotten. Returns true for a status line.
bool noteHeader(const char* data, size_t size, HttpSeen* seen);

// Keeps the start of a failure's body (its first KiB).
void noteErrorBody(const char* data, size_t size, HttpSeen* seen);

// What was asked.
struct HttpAsk {
    enum class Kind {
        Status,  // a HEAD or a PUT: a 200 is all
        Whole,   // a GET of a whole object: a 200 with all of its Content-Length
        Range,   // a GET of bytes [offset, offset + size) of a pinned version: a 206 of them
    };
    Kind kind = Kind::Status;
    std::string shown;          // the object as messages name it
    std::string verb = "read";  // "Couldn't VERB SHOWN"
    // 412 and 416 say the object changed (ESTALE): it is read at a version (If-Match).
    bool pinned = false;
    std::string version;  // the version asked for (its ETag, else its Last-Modified)
    bool versionIsEtag = false;
    long long total = -1;  // Range: the object's size
    long long offset = 0;  // Range: the bytes asked for
    long long size = 0;
};

// What messages call the bytes asked for: SHOWN, or "SHOWN bytes FIRST-LAST" for a range.
std::string askedWhat(const HttpAsk& ask);

// Judges a response that came whole (the transfer itself succeeded): 401 and 403 are EACCES,
// 404 ENOENT, 412 and 416 of a pinned read ESTALE, 408, 429, 5xx and S3's SlowDown and
// RequestTimeout transient EIO, any other unexpected status EIO. A range must come as a 206
// of the version asked for (ESTALE otherwise, never retried), with the Content-Range asked
// for (of an object of the same size, else ESTALE) and that many bytes (transient EIO
// otherwise); a whole object with all its bytes.
Outcome judgeResponse(const HttpAsk& ask, const HttpSeen& seen);

// What a 206 answer's Content-Range says of a request for bytes first-last of an object of
// total bytes.
enum class RangeVerdict {
    Matches,    // those bytes, of an object of that size or of an unknown one ("/*")
    OtherSize,  // bytes of an object of another size: the object changed
    Wrong,      // other bytes, or no header that can be read
};

RangeVerdict judgeContentRange(const std::string& header, long long first, long long last,
                               long long total);

}  // namespace tqtools

#endif
