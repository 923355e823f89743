#ifndef TQBLK_TOOLS_CURLCOMMON_H
#define TQBLK_TOOLS_CURLCOMMON_H

// What the tools that reach S3 and web servers through libcurl agree on: how a key goes
// into a URL, how a URL shows in messages, and which failures are worth another try.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace tqtools {

// Percent-encodes text as S3 signs it: unreserved characters kept, '/' too when keepSlash
// (an object key in a URL's path), everything else as %XX.
inline std::string percentEncode(const std::string& text, bool keepSlash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The URL as messages show it: the password of its userinfo (or the userinfo, when it is
// one word) replaced by "***".
inline std::string redactUrl(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const size_t start = scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const size_t at = url.rfind('@', end);
    if (at == std::string::npos || at < start || at >= end)
        return url;
    const size_t colon = url.find(':', start);
    const std::string user = colon < at ? url.substr(start, colon - start) + ":***" : "***";
    return url.substr(0, start) + user + url.substr(at);
}

// Whether a transfer that failed with code may succeed when tried again (the network, a
// timeout, a connection cut short); TLS verification, a bad URL or bad options never will.
inline bool transientCurlError(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_SSL_CONNECT_ERROR:
            return true;
        default:
            return false;
    }
}

}  // namespace tqtools

#endif
