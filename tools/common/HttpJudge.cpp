#include "HttpJudge.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace tqtools {
namespace {

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The S3 error code in a failure's XML body ("SlowDown", "NoSuchKey"...), or "".
std::string s3Code(const std::string& body) {
    const size_t open = body.find("<Code>");
    const size_t close = body.find("</Code>");
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "";
    return body.substr(open + 6, close - open - 6);
}

// The status: true when it settles the answer (any but a 200, or a 206 to a range).
bool judgeStatus(const HttpAsk& ask, const HttpSeen& seen, const std::string& what, Outcome* v) {
    const std::string code3 = s3Code(seen.errorBody);
    const std::string status =
        "HTTP " + std::to_string(seen.status) + (code3.empty() ? "" : " " + code3);
    const std::string failed = "Couldn't " + ask.verb + " " + what + ": ";
    v->error = EIO;
    if (seen.status == 401 || seen.status == 403) {
        v->error = EACCES;
        v->detail = "Access to " + what + " was refused (" + status + ")";
    } else if (seen.status == 404) {
        v->error = ENOENT;
        v->detail = "No such object: " + ask.shown + " (" + status + ")";
    } else if (ask.pinned && (seen.status == 412 || seen.status == 416)) {
        v->error = ESTALE;
        v->detail = what + " is no longer version " + ask.version + " (" + status + ")";
    } else if (seen.status == 429 || seen.status == 408 ||
               (seen.status >= 500 && seen.status <= 599) || code3 == "SlowDown" ||
               code3 == "RequestTimeout") {
        v->transient = true;
        v->detail = failed + status;
    } else if (ask.kind == HttpAsk::Kind::Range && seen.status != 206) {
        v->detail =
            failed + status +
            (seen.status == 200 ? " instead of 206: the server ignores Range requests" : "");
    } else if (ask.kind != HttpAsk::Kind::Range && seen.status != 200) {
        v->detail = failed + status;
    } else {
        v->error = 0;
        return false;
    }
    return true;
}

// A 206 answer: the version (first: a changed object is never retried into a device), the
// Content-Range and the size of the body.
void judgeRange(const HttpAsk& ask, const HttpSeen& seen, const std::string& what, Outcome* v) {
    v->error = EIO;
    const std::string& version = ask.versionIsEtag ? seen.etag : seen.lastModified;
    const long long last = ask.offset + ask.size - 1;
    const RangeVerdict range = judgeContentRange(seen.contentRange, ask.offset, last, ask.total);
    if (version != ask.version) {
        v->error = ESTALE;
        v->detail = what + " came back as version " + (version.empty() ? "(none)" : version) +
                    ", not " + ask.version;
    } else if (range == RangeVerdict::OtherSize) {
        v->error = ESTALE;
        v->detail = what + " came back from an object of another size (Content-Range: " +
                    seen.contentRange + ")";
    } else if (range == RangeVerdict::Wrong) {
        v->transient = true;
        v->detail = "Couldn't " + ask.verb + " " + what + ": the server sent Content-Range \"" +
                    seen.contentRange + "\", not \"bytes " + std::to_string(ask.offset) + "-" +
                    std::to_string(last) + "/" + std::to_string(ask.total) + "\"";
    } else if (seen.overflow || seen.received != ask.size) {
        v->transient = true;
        v->detail = "Couldn't " + ask.verb + " " + what + ": " + std::to_string(seen.received) +
                    (seen.overflow ? "+" : "") + " bytes came, not " + std::to_string(ask.size);
    } else {
        v->error = 0;
    }
}

}  // namespace

bool noteHeader(const char* data, size_t size, HttpSeen* seen) {
    const std::string line(data, size);
    if (line.rfind("HTTP/", 0) == 0) {
        *seen = HttpSeen();
        const size_t space = line.find(' ');
        if (space != std::string::npos)
            seen->status = std::strtol(line.c_str() + space + 1, nullptr, 10);
        return true;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string name = trim(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 1));
    if (strcasecmp(name.c_str(), "content-range") == 0)
        seen->contentRange = value;
    else if (strcasecmp(name.c_str(), "etag") == 0)
        seen->etag = value;
    else if (strcasecmp(name.c_str(), "last-modified") == 0)
        seen->lastModified = value;
    else if (strcasecmp(name.c_str(), "content-length") == 0)
        seen->contentLength = std::strtoll(value.c_str(), nullptr, 10);
    return false;
}

void noteErrorBody(const char* data, size_t size, HttpSeen* seen) {
    seen->errorBody.append(data,
                           std::min(size, 1024 - std::min<size_t>(1024, seen->errorBody.size())));
}

std::string askedWhat(const HttpAsk& ask) {
    return ask.kind != HttpAsk::Kind::Range ? ask.shown
                                            : ask.shown + " bytes " + std::to_string(ask.offset) +
                                                  "-" + std::to_string(ask.offset + ask.size - 1);
}

Outcome judgeResponse(const HttpAsk& ask, const HttpSeen& seen) {
    Outcome v;
    const std::string what = askedWhat(ask);
    if (judgeStatus(ask, seen, what, &v))
        return v;
    if (ask.kind == HttpAsk::Kind::Range) {
        judgeRange(ask, seen, what, &v);
    } else if (ask.kind == HttpAsk::Kind::Whole && seen.contentLength >= 0 &&
               seen.received != seen.contentLength) {
        v.error = EIO;
        v.transient = true;
        v.detail = "Couldn't " + ask.verb + " " + what + ": " + std::to_string(seen.received) +
                   " bytes came, not " + std::to_string(seen.contentLength);
    }
    return v;
}

RangeVerdict judgeContentRange(const std::string& header, long long first, long long last,
                               long long total) {
    const std::string range = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/";
    const size_t slash = header.rfind('/');
    if (slash == std::string::npos)
        return RangeVerdict::Wrong;
    const std::string size = header.substr(slash + 1);
    if (size != "*" && size != std::to_string(total))
        return RangeVerdict::OtherSize;
    return header.compare(0, slash + 1, range) == 0 ? RangeVerdict::Matches : RangeVerdict::Wrong;
}

}  // namespace tqtools
