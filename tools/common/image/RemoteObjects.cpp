// Image roots in an object store (s3://BUCKET/PREFIX, read and written) or on a web server
// (http(s)://HOST/PATH, read only), reached through libcurl. Each request runs on one of a
// pool of kept handles, so that concurrent callers each reuse a connection; failures that
// may pass (network, 5xx, 429, a short body) are retried with exponential backoff and full
// jitter within the tries and time the options give.

#include "CurlCommon.h"
#include "Digest.h"
#include "Objects.h"
#include "S3Credentials.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

namespace tqimage {
namespace {

using Clock = std::chrono::steady_clock;
using tqtools::percentEncode;
using tqtools::S3Credentials;

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

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

// One kept connection.
struct Handle {
    CURL* curl = curl_easy_init();
    char error[CURL_ERROR_SIZE] = "";
    ~Handle() {
        if (curl != nullptr)
            curl_easy_cleanup(curl);
    }
};

// One request and what came back.
struct Exchange {
    const char* method = "GET";  // GET, HEAD or PUT
    std::string url;
    const std::string* upload = nullptr;  // a PUT's body
    std::string shown;                    // the object as messages name it
    const char* verb = "read";            // "Couldn't VERB SHOWN"
    // The response.
    long status = 0;
    long long contentLength = -1;
    std::string body;  // a 200's body; the start of any other (S3's XML names the error)
    std::atomic<long long>* counted = nullptr;  // where body bytes of a 200 are counted
    // The attempt's clock: it fails when slower than the minimum rate on the whole.
    const std::atomic<bool>* interrupted = nullptr;
    std::chrono::steady_clock::time_point started;
    long long graceMs = 0;  // connecting and a stall, before the rate counts
    long minRate = 1;
    bool tooSlow = false;
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Exchange* x = static_cast<Exchange*>(user);
    const std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response (an interim one came before): forget what the last one said.
        const size_t space = line.find(' ');
        x->status = space == std::string::npos ? 0 : std::strtol(&line[space + 1], nullptr, 10);
        x->contentLength = -1;
        x->body.clear();
    } else if (line.size() > 15 && strncasecmp(line.c_str(), "content-length:", 15) == 0) {
        x->contentLength = std::strtoll(line.c_str() + 15, nullptr, 10);
        if (x->status == 200 && x->contentLength > 0 && x->contentLength < (1LL << 31))
            x->body.reserve(static_cast<size_t>(x->contentLength));
    }
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Exchange* x = static_cast<Exchange*>(user);
    const size_t n = size * count;
    if (x->status != 200) {
        x->body.append(data, std::min(n, 1024 - std::min<size_t>(1024, x->body.size())));
        return n;
    }
    x->body.append(data, n);
    if (x->counted != nullptr)
        *x->counted += static_cast<long long>(n);
    return n;
}

// The S3 error code in a failure's XML body ("SlowDown", "NoSuchKey"...), or "".
std::string s3Code(const std::string& body) {
    std::string code;
    return element(body, "Code", 0, body.size(), &code) ? code : "";
}

class RemoteObjects : public Objects {
  public:
    // base: the URL an object's key (encoded) is appended to, after a '/'; prefix: what
    // the root adds before each key in the bucket ("" or ending in '/').
    RemoteObjects(std::string base, std::string shown, bool s3, std::string region,
                  std::string prefix, S3Credentials credentials, ObjectOptions options)
        : m_base(std::move(base)),
          m_shown(std::move(shown)),
          m_s3(s3),
          m_region(std::move(region)),
          m_prefix(std::move(prefix)),
          m_credentials(std::move(credentials)),
          m_options(std::move(options)) {}

    int get(const std::string& key, std::string* body, std::string* detail) override {
        Exchange x;
        x.url = objectUrl(key);
        x.shown = describe(key);
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
        x.shown = describe(key);
        x.verb = "find";
        int error = request(&x, detail);
        if (error == 0 && x.contentLength < 0) {
            *detail = "Couldn't find the size of " + x.shown + ": no Content-Length came";
            return EIO;
        }
        if (error == 0)
            *size = x.contentLength;
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
        x.shown = describe(key);
        x.verb = "write";
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
            x.shown = describe(prefix) + "*";
            x.verb = "list";
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
                *detail = "Couldn't list " + x.shown + ": a truncated listing named no next page";
                return EIO;
            }
        } while (!token.empty());
        return 0;
    }

    std::string describe(const std::string& key) const override { return m_shown + "/" + key; }
    long long bytesRead() const override { return m_read; }

    void interrupt() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_interrupted = true;
        m_wake.notify_all();
    }

  private:
    bool m_virtualHosted() const {
        return m_s3 && m_base.find(".amazonaws.com") != std::string::npos;
    }

    std::string objectUrl(const std::string& key) const {
        return m_base + "/" + percentEncode(m_prefix + key, true);
    }

    std::unique_ptr<Handle> acquire() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_idle.empty()) {
                std::unique_ptr<Handle> handle = std::move(m_idle.back());
                m_idle.pop_back();
                return handle;
            }
        }
        std::unique_ptr<Handle> handle(new Handle);
        if (handle->curl != nullptr)
            configure(handle.get());
        return handle;
    }

    void release(std::unique_ptr<Handle> handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(std::move(handle));
    }

    // Ends an attempt that was interrupted, or that is slower than the minimum rate over its
    // whole length (a server trickling just above the stall limit must not hold a push for
    // hours); the length is known once the body's size is.
    static int onProgress(void* user, curl_off_t downTotal, curl_off_t, curl_off_t upTotal,
                          curl_off_t) {
        Exchange* x = static_cast<Exchange*>(user);
        if (*x->interrupted)
            return 1;
        const long long elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - x->started)
                .count();
        const long long bytes = std::max<long long>(downTotal, upTotal);
        x->tooSlow = elapsedMs > x->graceMs + bytes * 1000 / x->minRate;
        return x->tooSlow ? 1 : 0;
    }

    // What every request of a handle shares.
    void configure(Handle* handle) {
        CURL* c = handle->curl;
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
        curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_options.cacert.empty())
            curl_easy_setopt(c, CURLOPT_CAINFO, m_options.cacert.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, m_options.connectSeconds);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, m_options.minRate);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, m_options.stallSeconds);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, handle->error);
        if (!m_s3 && !m_options.netrcFile.empty()) {
            curl_easy_setopt(c, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
            curl_easy_setopt(c, CURLOPT_NETRC_FILE, m_options.netrcFile.c_str());
        }
        if (m_s3 && !m_credentials.empty()) {
            const std::string sigv4 = "aws:amz:" + m_region + ":s3";
            curl_easy_setopt(c, CURLOPT_AWS_SIGV4, sigv4.c_str());
            curl_easy_setopt(c, CURLOPT_USERNAME, m_credentials.accessKey.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, m_credentials.secretKey.c_str());
        }
    }

    // Runs attempts of x until one succeeds, fails for good, or the tries or the time are
    // spent, pausing between them with exponential backoff and full jitter.
    int request(Exchange* x, std::string* detail) {
        std::unique_ptr<Handle> handle = acquire();
        if (handle->curl == nullptr) {
            *detail = "Couldn't " + std::string(x->verb) + " " + x->shown + ": out of memory";
            return ENOMEM;
        }
        const Clock::time_point start = Clock::now();
        const Clock::time_point deadline =
            start +
            std::chrono::milliseconds(static_cast<long long>(m_options.retrySeconds * 1000));
        std::chrono::milliseconds pause{100};
        thread_local std::minstd_rand random(std::random_device{}());
        int error = EIO;
        for (int tries = 1;; ++tries) {
            bool transient = false;
            error = attempt(handle.get(), x, &transient, detail);
            if (error == 0 || !transient || m_interrupted)
                break;
            const std::chrono::milliseconds wait(
                std::uniform_int_distribution<long long>(0, pause.count())(random));
            if (tries >= m_options.tries || Clock::now() + wait > deadline) {
                const long long ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count();
                *detail += " (gave up after " + std::to_string(tries) + " tries in " +
                           std::to_string(ms) + " ms)";
                break;
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_for(lock, wait, [this] { return m_interrupted.load(); }))
                break;
            pause = std::min(pause * 2, std::chrono::milliseconds(10000));
        }
        if (m_interrupted && error != 0) {
            *detail = "Couldn't " + std::string(x->verb) + " " + x->shown + ": interrupted";
            error = ECANCELED;
        }
        release(std::move(handle));
        return error;
    }

    // One attempt: 0, or the errno with *detail and whether another try may help.
    int attempt(Handle* handle, Exchange* x, bool* transient, std::string* detail) {
        CURL* c = handle->curl;
        const std::string method = x->method;
        x->status = 0;
        x->contentLength = -1;
        x->body.clear();
        curl_easy_setopt(c, CURLOPT_URL, x->url.c_str());
        curl_easy_setopt(c, CURLOPT_HEADERDATA, x);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, x);
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);  // resets what the last request set
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
        struct curl_slist* headers = nullptr;
        std::string payloadHash =
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        if (method == "HEAD") {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        } else if (method == "PUT") {
            // The body as POSTFIELDS sent with PUT: libcurl knows it whole, and SigV4 signs
            // its digest, given in x-amz-content-sha256 as S3 wants it.
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(x->upload->size()));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, x->upload->data());
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "PUT");
            payloadHash = toHex(sha256(x->upload->data(), x->upload->size()));
            headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
        }
        if (m_s3) {
            headers = curl_slist_append(headers, ("x-amz-content-sha256: " + payloadHash).c_str());
            if (!m_credentials.sessionToken.empty())
                headers = curl_slist_append(
                    headers, ("x-amz-security-token: " + m_credentials.sessionToken).c_str());
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        // An attempt runs as long as it keeps to the minimum rate (onProgress); the request's
        // time bounds when another attempt may start, not how long a steady one takes.
        x->interrupted = &m_interrupted;
        x->started = Clock::now();
        x->graceMs = (m_options.connectSeconds + m_options.stallSeconds) * 1000;
        x->minRate = std::max(1L, m_options.minRate);
        x->tooSlow = false;
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, x);
        handle->error[0] = '\0';
        const CURLcode code = curl_easy_perform(c);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        return judge(code, handle->error, *x, transient, detail);
    }

    int judge(CURLcode code, const char* curlError, const Exchange& x, bool* transient,
              std::string* detail) const {
        const std::string failed = "Couldn't " + std::string(x.verb) + " " + x.shown + ": ";
        if (code == CURLE_ABORTED_BY_CALLBACK && x.tooSlow) {
            *transient = true;
            *detail = failed + "slower than " + std::to_string(m_options.minRate) +
                      " bytes/s on the whole";
            return EIO;
        }
        if (code == CURLE_ABORTED_BY_CALLBACK)
            return ECANCELED;
        if (code != CURLE_OK) {
            *detail = failed + (*curlError != '\0' ? curlError : curl_easy_strerror(code));
            *transient = tqtools::transientCurlError(code);
            return EIO;
        }
        const std::string code3 = x.status == 200 ? "" : s3Code(x.body);
        const std::string status =
            "HTTP " + std::to_string(x.status) + (code3.empty() ? "" : " " + code3);
        if (x.status == 401 || x.status == 403) {
            *detail = "Access to " + x.shown + " was refused (" + status + ")";
            return EACCES;
        }
        if (x.status == 404) {
            *detail = "No such object: " + x.shown + " (" + status + ")";
            return ENOENT;
        }
        if (x.status == 429 || x.status == 408 || (x.status >= 500 && x.status <= 599) ||
            code3 == "SlowDown" || code3 == "RequestTimeout") {
            *transient = true;
            *detail = failed + status;
            return EIO;
        }
        if (x.status != 200) {
            *detail = failed + status;
            return EIO;
        }
        if (std::string(x.method) == "GET" && x.contentLength >= 0 &&
            static_cast<long long>(x.body.size()) != x.contentLength) {
            *transient = true;
            *detail = failed + std::to_string(x.body.size()) + " bytes came, not " +
                      std::to_string(x.contentLength);
            return EIO;
        }
        return 0;
    }

    const std::string m_base;
    const std::string m_shown;
    const bool m_s3;
    const std::string m_region;
    const std::string m_prefix;
    const S3Credentials m_credentials;
    const ObjectOptions m_options;
    std::atomic<long long> m_read{0};
    std::atomic<bool> m_interrupted{false};  // set under m_mutex, for m_wake
    std::mutex m_mutex;                      // guards what follows
    std::vector<std::unique_ptr<Handle>> m_idle;
    std::condition_variable m_wake;
};

}  // namespace

std::unique_ptr<Objects> openRemoteObjects(const std::string& url, const ObjectOptions& options,
                                           std::string* detail) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::string root = url;
    while (!root.empty() && root.back() == '/' && root.find("://") + 3 < root.size())
        root.pop_back();
    const std::string shown = tqtools::redactUrl(root);
    if (root.rfind("s3://", 0) != 0) {
        if (!options.netrcFile.empty()) {
            // libcurl reads it on every request: a FIFO there would hang each one.
            std::string text;
            if (tqtools::readRegularFile(options.netrcFile, "netrc file", &text, detail) != 0)
                return nullptr;
        }
        return std::make_unique<RemoteObjects>(root, shown, false, "", "", S3Credentials(),
                                               options);
    }
    const std::string rest = root.substr(5);
    const std::string bucket = rest.substr(0, rest.find('/'));
    const std::string prefix =
        bucket.size() < rest.size() ? rest.substr(bucket.size() + 1) + "/" : "";
    if (bucket.empty() || prefix.find("//") != std::string::npos) {
        *detail = "An S3 image root is named s3://BUCKET or s3://BUCKET/PREFIX, not " + shown;
        return nullptr;
    }
    const std::string region = !options.region.empty()
                                   ? options.region
                                   : envOr("AWS_REGION", envOr("AWS_DEFAULT_REGION", "us-east-1"));
    std::string endpoint =
        !options.endpoint.empty() ? options.endpoint : envOr("AWS_ENDPOINT_URL", "");
    while (!endpoint.empty() && endpoint.back() == '/')
        endpoint.pop_back();
    // A custom endpoint (Ceph's gateway, MinIO...) is addressed path-style; AWS itself
    // virtual-hosted.
    const std::string base = !endpoint.empty()
                                 ? endpoint + "/" + percentEncode(bucket, false)
                                 : "https://" + bucket + ".s3." + region + ".amazonaws.com";
    S3Credentials credentials;
    if (!tqtools::findS3Credentials(&credentials, detail))
        return nullptr;
    return std::make_unique<RemoteObjects>(base, shown, true, region, prefix, credentials, options);
}

}  // namespace tqimage
