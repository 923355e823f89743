// Image roots in an object store (s3://BUCKET/PREFIX, read and written) or on a web server
// (http(s)://HOST/PATH, read only), reached through libcurl. Each request runs on one of a
// pool of kept handles, so that concurrent callers each reuse a connection; failures that
// may pass (network, 5xx, 429, a short body) are retried with exponential backoff and full
// jitter within the tries and time the options give.

#include "CurlCommon.h"
#include "CurlPool.h"
#include "Digest.h"
#include "HttpJudge.h"
#include "Objects.h"
#include "Retry.h"
#include "S3Address.h"
#include "S3Credentials.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace tqimage {
namespace {

using Clock = std::chrono::steady_clock;
using tqtools::percentEncode;
using tqtools::S3Credentials;

// The text of the first <tag>...</tag> within [from, to) of xml, XML entities decoded; false
// when there is none (or it is not closed there).
bool element(const std::string& xml, const std::string& tag, size_t from, size_t to,
             std::string* out) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    const size_t start = xml.find(open, from);
    if (start == std::string::npos || start >= to)
        return false;
    const size_t end = xml.find(close, start);
    if (end == std::string::npos || end > to)
        return false;
    const std::string raw = xml.substr(start + open.size(), end - start - open.size());
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        const size_t semi = raw[i] == '&' ? raw.find(';', i) : std::string::npos;
        if (semi == std::string::npos || semi - i > 10) {
            *out += raw[i];
            continue;
        }
        const std::string name = raw.substr(i + 1, semi - i - 1);
        static const std::pair<const char*, char> named[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        bool known = false;
        for (const auto& n : named)
            if (name == n.first) {
                *out += n.second;
                known = true;
            }
        if (!known && name.size() > 1 && name[0] == '#') {
            const bool isHex = name[1] == 'x' || name[1] == 'X';
            char* stop = nullptr;
            const unsigned long code =
                std::strtoul(name.c_str() + (isHex ? 2 : 1), &stop, isHex ? 16 : 10);
            known = *stop == '\0' && code > 0 && code < 0x110000;
            if (known && code < 0x80) {
                *out += static_cast<char>(code);
            } else if (known) {  // as UTF-8
                if (code < 0x800) {
                    *out += static_cast<char>(0xC0 | (code >> 6));
                } else {
                    if (code < 0x10000) {
                        *out += static_cast<char>(0xE0 | (code >> 12));
                    } else {
                        *out += static_cast<char>(0xF0 | (code >> 18));
                        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                    }
                    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                }
                *out += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        if (!known) {
            *out += raw[i];
            continue;
        }
        i = semi;
    }
    return true;
}

// One request and what came back.
struct Exchange {
    const char* method = "GET";  // GET, HEAD or PUT
    std::string url;
    const std::string* upload = nullptr;  // a PUT's body
    tqtools::HttpAsk ask;                 // ask.shown: the object as messages name it
    // The response.
    tqtools::HttpSeen seen;
    std::string body;                           // a 200's body
    std::atomic<long long>* counted = nullptr;  // where body bytes of a 200 are counted
    // The attempt's clock: it fails when slower than the minimum rate on the whole.
    const tqtools::Interrupter* stop = nullptr;
    std::chrono::steady_clock::time_point started;
    long long graceMs = 0;  // connecting and a stall, before the rate counts
    long minRate = 1;
    bool tooSlow = false;
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Exchange* x = static_cast<Exchange*>(user);
    const long long length = x->seen.contentLength;
    if (tqtools::noteHeader(data, size * count, &x->seen)) {
        x->body.clear();  // a new response (an interim one came before)
    } else if (x->seen.contentLength != length && x->seen.status == 200 &&
               x->seen.contentLength > 0 && x->seen.contentLength < (1LL << 31)) {
        x->body.reserve(static_cast<size_t>(x->seen.contentLength));
    }
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Exchange* x = static_cast<Exchange*>(user);
    const size_t n = size * count;
    if (x->seen.status != 200) {
        tqtools::noteErrorBody(data, n, &x->seen);
        return n;
    }
    x->body.append(data, n);
    x->seen.received += static_cast<long long>(n);
    if (x->counted != nullptr)
        *x->counted += static_cast<long long>(n);
    return n;
}

class RemoteObjects : public Objects {
  public:
    // base: the URL an object's key (encoded) is appended to, after a '/'; prefix: what
    // the root adds before each key in the bucket ("" or ending in '/').
    RemoteObjects(std::string base, std::string shown, std::string prefix,
                  tqtools::CurlAccess access, ObjectOptions options)
        : m_base(std::move(base)),
          m_shown(std::move(shown)),
          m_s3(access.s3),
          m_prefix(std::move(prefix)),
          m_credentials(access.credentials),
          m_options(std::move(options)),
          m_pool(withCallbacks(std::move(access))) {
        m_policy.tries = m_options.tries;
        m_policy.retrySeconds = m_options.retrySeconds;
        m_policy.maxPauseMs = 10000;
        m_policy.jitterFloor = 0;
    }

    int get(const std::string& key, std::string* body, std::string* detail) override {
        Exchange x;
        x.url = objectUrl(key);
        x.ask.shown = describe(key);
        x.ask.kind = tqtools::HttpAsk::Kind::Whole;
        x.counted = &m_read;
        int error = request(&x, detail);
        if (error == 0)
            body->swap(x.body);
        return error;
    }

    int head(const std::string& key, long long* size, std::string* detail) override {
        Exchange x;
        x.method = "HEAD";
        x.url = objectUrl(key);
        x.ask.shown = describe(key);
        x.ask.verb = "find";
        int error = request(&x, detail);
        if (error == 0 && x.seen.contentLength < 0) {
            *detail = "Couldn't find the size of " + x.ask.shown + ": no Content-Length came";
            return EIO;
        }
        if (error == 0)
            *size = x.seen.contentLength;
        return error;
    }

    int put(const std::string& key, const std::string& body, std::string* detail) override {
        if (!m_s3) {
            *detail = "Couldn't write " + describe(key) +
                      ": an image root reached over http(s) is read-only (publish to s3:// or "
                      "a directory)";
            return EROFS;
        }
        Exchange x;
        x.method = "PUT";
        x.url = objectUrl(key);
        x.upload = &body;
        x.ask.shown = describe(key);
        x.ask.verb = "write";
        return request(&x, detail);
    }

    int list(const std::string& prefix, std::vector<ObjectInfo>* out,
             std::string* detail) override {
        if (!m_s3) {
            *detail = "Couldn't list " + describe(prefix) +
                      ": an image root reached over http(s) is read-only and offers no listing "
                      "(publish to s3:// or a directory)";
            return ENOTSUP;
        }
        std::string token;
        do {
            // The query as SigV4 signs it: parameters sorted by name, fully encoded.
            Exchange x;
            x.url =
                m_base + (m_virtualHosted() ? "/?" : "?") +
                (token.empty() ? "" : "continuation-token=" + percentEncode(token, false) + "&") +
                "list-type=2&prefix=" + percentEncode(m_prefix + prefix, false);
            x.ask.shown = describe(prefix) + "*";
            x.ask.verb = "list";
            x.ask.kind = tqtools::HttpAsk::Kind::Whole;
            int error = request(&x, detail);
            if (error != 0)
                return error;
            size_t at = 0;
            for (;;) {
                const size_t start = x.body.find("<Contents>", at);
                const size_t end = x.body.find("</Contents>", start);
                if (start == std::string::npos || end == std::string::npos)
                    break;
                std::string key, size;
                if (element(x.body, "Key", start, end, &key) &&
                    element(x.body, "Size", start, end, &size) &&
                    key.compare(0, m_prefix.size(), m_prefix) == 0)
                    out->push_back({key.substr(m_prefix.size()), std::atoll(size.c_str())});
                at = end;
            }
            std::string truncated;
            token.clear();
            if (element(x.body, "IsTruncated", 0, x.body.size(), &truncated) &&
                truncated == "true" &&
                (!element(x.body, "NextContinuationToken", 0, x.body.size(), &token) ||
                 token.empty())) {
                *detail =
                    "Couldn't list " + x.ask.shown + ": a truncated listing named no next page";
                return EIO;
            }
        } while (!token.empty());
        return 0;
    }

    std::string describe(const std::string& key) const override { return m_shown + "/" + key; }
    long long bytesRead() const override { return m_read; }

    void interrupt() override { m_stop.interrupt(); }

  private:
    bool m_virtualHosted() const { return m_s3 && tqtools::isVirtualHosted(m_base); }

    std::string objectUrl(const std::string& key) const {
        return m_base + "/" + percentEncode(m_prefix + key, true);
    }

    static tqtools::CurlAccess withCallbacks(tqtools::CurlAccess access) {
        access.onHeader = onHeader;
        access.onBody = onBody;
        access.onProgress = onProgress;
        return access;
    }

    // Ends an attempt that was interrupted, or that is slower than the minimum rate over its
    // whole length (a server trickling just above the stall limit must not hold a push for
    // hours); the length is known once the body's size is.
    static int onProgress(void* user, curl_off_t downTotal, curl_off_t, curl_off_t upTotal,
                          curl_off_t) {
        Exchange* x = static_cast<Exchange*>(user);
        if (x->stop->interrupted())
            return 1;
        const long long elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - x->started)
                .count();
        const long long bytes = std::max<long long>(downTotal, upTotal);
        x->tooSlow = elapsedMs > x->graceMs + bytes * 1000 / x->minRate;
        return x->tooSlow ? 1 : 0;
    }

    // Runs attempts of x on a kept handle, retrying transient failures.
    int request(Exchange* x, std::string* detail) {
        tqtools::CurlPool::Lease handle = m_pool.acquire();
        if (!handle) {
            *detail = "Couldn't " + x->ask.verb + " " + x->ask.shown + ": out of memory";
            return ENOMEM;
        }
        const int error = tqtools::runWithRetries(
            m_policy, m_stop, [&](tqtools::Attempt* a) { attempt(*handle, x, a); }, detail);
        if (error == ECANCELED)
            *detail = "Couldn't " + x->ask.verb + " " + x->ask.shown + ": interrupted";
        return error;
    }

    // One attempt: what curl sets for this request only, the transfer, and its judgement.
    void attempt(tqtools::CurlHandle& handle, Exchange* x, tqtools::Attempt* a) {
        CURL* c = handle.curl();
        const std::string method = x->method;
        x->seen = tqtools::HttpSeen();
        x->body.clear();
        curl_easy_setopt(c, CURLOPT_URL, x->url.c_str());
        curl_easy_setopt(c, CURLOPT_HEADERDATA, x);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, x);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, x);
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);  // resets what the last request set
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
        if (method == "HEAD") {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else if (method == "PUT") {
            // The body as POSTFIELDS sent with PUT: libcurl knows it whole, and SigV4 signs
            // its digest, given in x-amz-content-sha256 as S3 wants it.
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(x->upload->size()));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, x->upload->data());
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "PUT");
        }
        setHeaders(handle, x);
        // An attempt runs as long as it keeps to the minimum rate (onProgress); the request's
        // time bounds when another attempt may start, not how long a steady one takes.
        x->stop = &m_stop;
        x->started = Clock::now();
        x->graceMs = (m_options.connectSeconds + m_options.stallSeconds) * 1000;
        x->minRate = std::max(1L, m_options.minRate);
        x->tooSlow = false;
        const CURLcode code = handle.perform();
        const std::string failed = "Couldn't " + x->ask.verb + " " + x->ask.shown + ": ";
        if (code == CURLE_ABORTED_BY_CALLBACK && x->tooSlow) {
            a->error = EIO;
            a->transient = true;
            a->detail = failed + "slower than " + std::to_string(m_options.minRate) +
                        " bytes/s on the whole";
        } else if (!tqtools::transferFailed(code, handle, failed, a)) {
            static_cast<tqtools::Outcome&>(*a) = tqtools::judgeResponse(x->ask, x->seen);
        }
    }

    // The request's headers: a GET's and a HEAD's are the same every time, kept on the
    // handle; a PUT's name its body's digest.
    void setHeaders(tqtools::CurlHandle& handle, const Exchange* x) {
        const bool put = std::string(x->method) == "PUT";
        if (!put && handle.headersKind == 0)
            return;
        struct curl_slist* headers = nullptr;
        if (put)
            headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
        if (m_s3)
            headers = tqtools::appendS3Headers(
                headers,
                put ? toHex(sha256(x->upload->data(), x->upload->size())) : tqtools::kEmptySha256,
                m_credentials);
        handle.setHeaders(headers);
        handle.headersKind = put ? 1 : 0;
    }

    const std::string m_base;
    const std::string m_shown;
    const bool m_s3;
    const std::string m_prefix;
    const S3Credentials m_credentials;
    const ObjectOptions m_options;
    tqtools::RetryPolicy m_policy;
    tqtools::CurlPool m_pool;
    tqtools::Interrupter m_stop;
    std::atomic<long long> m_read{0};
};

}  // namespace

std::unique_ptr<Objects> openRemoteObjects(const std::string& url, const ObjectOptions& options,
                                           std::string* detail) {
    std::string root = url;
    while (!root.empty() && root.back() == '/' && root.find("://") + 3 < root.size())
        root.pop_back();
    const std::string shown = tqtools::redactUrl(root);
    tqtools::CurlAccess access = tqtools::curlAccess(options);
    if (root.rfind("s3://", 0) != 0) {
        if (tqtools::prepareAccess(false, options, &access, detail) != 0)
            return nullptr;
        return std::make_unique<RemoteObjects>(root, shown, "", std::move(access), options);
    }
    const std::string rest = root.substr(5);
    const std::string bucket = rest.substr(0, rest.find('/'));
    const std::string prefix =
        bucket.size() < rest.size() ? rest.substr(bucket.size() + 1) + "/" : "";
    if (bucket.empty() || prefix.find("//") != std::string::npos) {
        *detail = "An S3 image root is named s3://BUCKET or s3://BUCKET/PREFIX, not " + shown;
        return nullptr;
    }
    access.uploads = true;
    if (tqtools::prepareAccess(true, options, &access, detail) != 0)
        return nullptr;
    const std::string base = tqtools::s3BucketUrl(bucket, options.endpoint, access.region);
    return std::make_unique<RemoteObjects>(base, shown, prefix, std::move(access), options);
}

}  // namespace tqimage
