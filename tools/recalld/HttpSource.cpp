#include "HttpSource.h"

#include "ContentRange.h"
#include "CurlCommon.h"
#include "ErrnoText.h"
#include "PlaceBytes.h"
#include "S3Credentials.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

namespace recalld {
namespace {

using tqtools::findS3Credentials;
using tqtools::readRegularFile;
using tqtools::S3Credentials;
using Clock = std::chrono::steady_clock;

// SHA-256 of an empty body: what S3 wants in x-amz-content-sha256 for a GET or HEAD.
const char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// What one HTTP exchange brought back.
struct Response {
    long status = 0;
    std::string contentRange;
    std::string etag;
    std::string lastModified;
    long long contentLength = -1;
    std::string errorBody;  // the start of a failure's body (S3's XML names the error)
    char* body = nullptr;   // where the expected bytes go
    size_t capacity = 0;
    size_t received = 0;
    bool overflow = false;  // more bytes came than were asked for
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    Response* r = static_cast<Response*>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response (after a redirect or an interim one): forget the last one's fields.
        Response fresh;
        fresh.body = r->body;
        fresh.capacity = r->capacity;
        *r = fresh;
        size_t space = line.find(' ');
        if (space != std::string::npos)
            r->status = std::strtol(line.c_str() + space + 1, nullptr, 10);
        return size * count;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return size * count;
    std::string name = lower(trim(line.substr(0, colon)));
    std::string value = trim(line.substr(colon + 1));
    if (name == "content-range")
        r->contentRange = value;
    else if (name == "etag")
        r->etag = value;
    else if (name == "last-modified")
        r->lastModified = value;
    else if (name == "content-length")
        r->contentLength = std::strtoll(value.c_str(), nullptr, 10);
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Response* r = static_cast<Response*>(user);
    size_t n = size * count;
    if (r->status != 206 && r->status != 200) {
        r->errorBody.append(data, std::min(n, 1024 - std::min<size_t>(1024, r->errorBody.size())));
        return n;
    }
    if (r->body == nullptr || r->received + n > r->capacity) {
        r->overflow = true;
        return 0;  // ends the transfer: never more than the range asked for
    }
    std::memcpy(r->body + r->received, data, n);
    r->received += n;
    return n;
}

// The S3 error code in a failure's XML body ("SlowDown", "NoSuchKey"...), or "".
std::string s3Code(const std::string& body) {
    size_t open = body.find("<Code>");
    size_t close = body.find("</Code>");
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "";
    return body.substr(open + 6, close - open - 6);
}

// One kept connection: a curl handle whose connection cache outlives each request. Its
// fixed options and its header list are set once; a request sets only what changes.
struct Handle {
    CURL* curl = nullptr;
    bool configured = false;   // the fixed options are set
    bool headersSet = false;   // the header list is set ...
    bool conditional = false;  // ... and carries If-Match
    struct curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = "";
    ~Handle() {
        if (curl != nullptr)
            curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
    }
};

// One attempt: the time it may take, and its outcome.
struct Attempt {
    long long budgetMs = 0;  // what is left of the request's time
    int error = 0;           // 0, or the errno the request fails with if not retried
    bool transient = false;  // worth another try
    std::string detail;
};

class HttpSource : public Source {
  public:
    HttpSource(std::string url, std::string shown, bool s3, std::string region,
               S3Credentials credentials, RemoteOptions options)
        : m_url(std::move(url)),
          m_shown(std::move(shown)),
          m_s3(s3),
          m_region(std::move(region)),
          m_credentials(std::move(credentials)),
          m_options(std::move(options)) {}

    // Asks for the object's size and version. Returns 0 or an errno with *detail.
    int probe(std::string* detail) {
        std::unique_ptr<Handle> handle = acquire();
        Response response;
        int e = withRetries(
            [&](Attempt* a) { exchange(*handle, -1, 0, nullptr, &response, a, true); }, detail);
        release(std::move(handle));
        if (e != 0)
            return e;
        m_size = response.contentLength;
        if (!response.etag.empty()) {
            m_version = response.etag;
            m_versionIsEtag = true;
        } else {
            m_version = response.lastModified;
        }
        if (m_size < 0) {
            *detail = m_shown + " gave no size (Content-Length)";
            return EIO;
        }
        return 0;
    }

    long long size() const override { return m_size; }
    std::string version() const override { return m_version; }

    void setNote(std::function<void(const std::string&)> note) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_note = std::move(note);
    }

    long long retries() const override { return m_retries; }
    void interrupt() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_interrupted = true;
        m_wake.notify_all();
    }

    int place(TqBlkBackingStore& target, long long extent, SyncGroup* sync, long long* bytes,
              std::string* detail) override {
        long long offset;
        size_t size;
        extentBytes(target, extent, &offset, &size);
        char* buffer = extentBuffer(size);
        // A source shorter than the device (allowed at start) has zeros past its end.
        size_t fetch = static_cast<size_t>(
            std::max(0LL, std::min(static_cast<long long>(size), m_size - offset)));
        std::fill(buffer + fetch, buffer + size, 0);
        if (fetch > 0) {
            std::unique_ptr<Handle> handle = acquire();
            int e = withRetries(
                [&](Attempt* a) {
                    Response response;
                    exchange(*handle, offset, fetch, buffer, &response, a, false);
                },
                detail);
            release(std::move(handle));
            if (e != 0)
                return e;
        }
        int e = placeExtentBytes(target, extent, buffer, size, sync, detail);
        if (e == 0)
            *bytes = static_cast<long long>(size);
        return e;
    }

  private:
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
        handle->curl = curl_easy_init();
        return handle;
    }

    void release(std::unique_ptr<Handle> handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(std::move(handle));
    }

    bool interrupted() const { return m_interrupted; }

    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<HttpSource*>(user)->interrupted() ? 1 : 0;
    }

    // Runs attempts until one succeeds, fails for good, or the tries or the time are spent,
    // pausing between them with exponential backoff and full jitter.
    int withRetries(const std::function<void(Attempt*)>& attempt, std::string* detail) {
        const Clock::time_point start = Clock::now();
        const Clock::time_point deadline =
            start +
            std::chrono::milliseconds(static_cast<long long>(m_options.retrySeconds * 1000));
        std::chrono::milliseconds pause{100};
        thread_local std::minstd_rand random(std::random_device{}());
        for (int tries = 1;; ++tries) {
            if (m_stale) {
                *detail = m_shown + " changed since the service started";
                return ESTALE;
            }
            Attempt a;
            a.budgetMs = std::max<long long>(
                1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                       .count());
            attempt(&a);
            if (a.error == ECANCELED || interrupted()) {
                *detail = "stopped while reading " + m_shown;
                return ECANCELED;
            }
            if (a.error == 0)
                return 0;
            if (a.error == ESTALE)
                reportStale(a.detail);
            if (!a.transient) {
                *detail = a.detail;
                return a.error;
            }
            std::chrono::milliseconds wait(
                std::uniform_int_distribution<long long>(pause.count() / 2, pause.count())(random));
            if (tries >= m_options.tries || Clock::now() + wait > deadline) {
                long long ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count();
                *detail = a.detail + " (gave up after " + std::to_string(tries) + " tries in " +
                          std::to_string(ms) + " ms)";
                return EIO;
            }
            ++m_retries;
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, wait, [this] { return m_interrupted.load(); });
            if (m_interrupted) {
                *detail = "stopped while reading " + m_shown;
                return ECANCELED;
            }
            pause = std::min(pause * 2, std::chrono::milliseconds(5000));
        }
    }

    void reportStale(const std::string& why) {
        if (m_stale.exchange(true))
            return;
        std::function<void(const std::string&)> note;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            note = m_note;
        }
        if (note)
            note("The source changed while the service ran: " + why +
                 ". Every recall from it fails with ESTALE from now on, so that the device "
                 "never mixes two versions; restart the service on the new version with a "
                 "fresh recall store.");
    }

    // One request: a HEAD (probe) or a GET of [offset, offset + size) into buffer.
    void exchange(Handle& handle, long long offset, size_t size, char* buffer, Response* r,
                  Attempt* a, bool probe) {
        CURL* c = handle.curl;
        configure(handle, !probe && m_versionIsEtag && m_version.rfind("W/", 0) != 0);
        setDeadlines(c, size, a->budgetMs);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, r);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, r);
        std::string range;
        if (probe) {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
            curl_easy_setopt(c, CURLOPT_RANGE, nullptr);
        } else {
            range = std::to_string(offset) + "-" +
                    std::to_string(offset + static_cast<long long>(size) - 1);
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
            r->body = buffer;
            r->capacity = size;
        }
        handle.error[0] = '\0';
        CURLcode code = curl_easy_perform(c);
        judge(code, handle.error, offset, size, probe, *r, a);
    }

    // Sets what every request of this handle shares, once, and its header list (If-Match
    // once the version is an ETag) when it differs from the one set.
    void configure(Handle& handle, bool conditional) {
        CURL* c = handle.curl;
        if (!handle.configured) {
            handle.configured = true;
            curl_easy_setopt(c, CURLOPT_URL, m_url.c_str());
            curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
            // An extent's body in a few reads rather than one per 16 KiB.
            curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
            curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
            if (!m_options.cacert.empty())
                curl_easy_setopt(c, CURLOPT_CAINFO, m_options.cacert.c_str());
            curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
            curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
            // The progress callback is what lets a stop cut a transfer that stalls; curl
            // calls it from its own transfer loop, with no timer or poll of its own.
            curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
            curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
            curl_easy_setopt(c, CURLOPT_ERRORBUFFER, handle.error);
            if (!m_s3 && !m_options.netrcFile.empty()) {
                // Credentials in the URL come first; else the file's for the host, if any.
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
        if (handle.headersSet && handle.conditional == conditional)
            return;
        struct curl_slist* headers = nullptr;
        if (conditional)
            headers = curl_slist_append(headers, ("If-Match: " + m_version).c_str());
        if (m_s3) {
            headers = curl_slist_append(
                headers, (std::string("x-amz-content-sha256: ") + kEmptySha256).c_str());
            if (!m_credentials.empty() && !m_credentials.sessionToken.empty())
                headers = curl_slist_append(
                    headers, ("x-amz-security-token: " + m_credentials.sessionToken).c_str());
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_slist_free_all(handle.headers);
        handle.headers = headers;
        handle.headersSet = true;
        handle.conditional = conditional;
    }

    // An attempt ends when the request's time runs out, or when it is slower than the
    // minimum rate: over any stall window, or on the whole (a server trickling a few bytes
    // at a time must not hold a recall for hours).
    void setDeadlines(CURL* c, size_t size, long long budgetMs) {
        const long long connectMs = m_options.connectSeconds * 1000;
        const long long attemptMs =
            connectMs + m_options.stallSeconds * 1000 +
            static_cast<long long>(size) * 1000 / std::max(1L, m_options.minRate);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min(connectMs, budgetMs)));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(attemptMs, budgetMs)));
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, m_options.minRate);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, m_options.stallSeconds);
    }

    // Sorts out an attempt: a->error 0 when its body is the range asked for, else the errno,
    // whether it is worth another try, and the detail.
    void judge(CURLcode code, const char* curlError, long long offset, size_t size, bool probe,
               const Response& r, Attempt* a) {
        const std::string what =
            probe ? m_shown
                  : m_shown + " bytes " + std::to_string(offset) + "-" +
                        std::to_string(offset + static_cast<long long>(size) - 1);
        if (judgeTransfer(code, curlError, r, what, a) || judgeStatus(r, what, probe, a))
            return;
        judgeRange(offset, size, r, what, a);
    }

    // The transfer itself: true when it failed (or was stopped) and that settles it.
    bool judgeTransfer(CURLcode code, const char* curlError, const Response& r,
                       const std::string& what, Attempt* a) {
        if (code == CURLE_ABORTED_BY_CALLBACK) {
            a->error = ECANCELED;
            return true;
        }
        if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && r.overflow)) {
            a->detail = "Couldn't read " + what + ": " +
                        (*curlError != '\0' ? std::string(curlError) : curl_easy_strerror(code));
            a->error = EIO;
            a->transient = tqtools::transientCurlError(code);
            return true;
        }
        return false;
    }

    // The HTTP status: true when it settles the attempt (every probe, every status but 206).
    bool judgeStatus(const Response& r, const std::string& what, bool probe, Attempt* a) {
        std::string code3 = s3Code(r.errorBody);
        std::string status =
            "HTTP " + std::to_string(r.status) + (code3.empty() ? "" : " " + code3);
        a->error = EIO;
        if (r.status == 401 || r.status == 403) {
            a->error = EACCES;
            a->detail = "Access to " + what + " was refused (" + status + ")";
            return true;
        }
        if (r.status == 404) {
            a->error = ENOENT;
            a->detail = "No such object: " + m_shown + " (" + status + ")";
            return true;
        }
        if (r.status == 412 || r.status == 416) {
            a->error = ESTALE;
            a->detail = what + " is no longer version " + m_version + " (" + status + ")";
            return true;
        }
        if (r.status == 429 || r.status == 408 || (r.status >= 500 && r.status <= 599) ||
            code3 == "SlowDown" || code3 == "RequestTimeout") {
            a->transient = true;
            a->detail = "Couldn't read " + what + ": " + status;
            return true;
        }
        if (probe) {
            if (r.status != 200) {
                a->detail = "Couldn't read " + what + ": " + status;
                return true;
            }
            a->error = 0;
            return true;
        }
        if (r.status != 206) {
            a->detail =
                "Couldn't read " + what + ": " + status +
                (r.status == 200 ? " instead of 206: the server ignores Range requests" : "");
            return true;
        }
        return false;
    }

    // A 206 answer: the version, the Content-Range and the size of the body.
    void judgeRange(long long offset, size_t size, const Response& r, const std::string& what,
                    Attempt* a) {
        a->error = EIO;
        // The version first: a changed object is never retried into the device.
        const std::string& seen = m_versionIsEtag ? r.etag : r.lastModified;
        const long long last = offset + static_cast<long long>(size) - 1;
        if (seen != m_version) {
            a->error = ESTALE;
            a->detail = what + " came back as version " + (seen.empty() ? "(none)" : seen) +
                        ", not " + m_version;
            return;
        }
        const RangeVerdict verdict = judgeContentRange(r.contentRange, offset, last, m_size);
        if (verdict == RangeVerdict::OtherSize) {
            a->error = ESTALE;
            a->detail = what + " came back from an object of another size (Content-Range: " +
                        r.contentRange + ")";
            return;
        }
        if (verdict == RangeVerdict::Wrong) {
            a->transient = true;
            a->detail = "Couldn't read " + what + ": the server sent Content-Range \"" +
                        r.contentRange + "\", not \"bytes " + std::to_string(offset) + "-" +
                        std::to_string(last) + "/" + std::to_string(m_size) + "\"";
            return;
        }
        if (r.overflow || r.received != size) {
            a->transient = true;
            a->detail = "Couldn't read " + what + ": " + std::to_string(r.received) +
                        (r.overflow ? "+" : "") + " bytes came, not " + std::to_string(size);
            return;
        }
        a->error = 0;
    }

    const std::string m_url;    // what is fetched
    const std::string m_shown;  // what the log calls it: the URL given, redacted
    const bool m_s3;
    const std::string m_region;
    const S3Credentials m_credentials;
    const RemoteOptions m_options;
    long long m_size = -1;
    std::string m_version;
    bool m_versionIsEtag = false;
    std::atomic<bool> m_stale{false};
    std::mutex m_mutex;  // guards what follows
    std::vector<std::unique_ptr<Handle>> m_idle;
    std::function<void(const std::string&)> m_note;
    std::atomic<bool> m_interrupted{false};  // set under m_mutex, for m_wake
    std::atomic<long long> m_retries{0};
    std::condition_variable m_wake;
};

}  // namespace

bool isRemoteUrl(const std::string& url) {
    return url.rfind("s3://", 0) == 0 || url.rfind("http://", 0) == 0 ||
           url.rfind("https://", 0) == 0;
}

std::string redactUrl(const std::string& url) {
    return tqtools::redactUrl(url);
}

std::unique_ptr<Source> openRemoteSource(const std::string& url, const RemoteOptions& options,
                                         int* error, std::string* detail) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    *error = EINVAL;
    std::string fetched = url;
    std::string region;
    S3Credentials credentials;
    bool s3 = url.rfind("s3://", 0) == 0;
    if (s3) {
        std::string rest = url.substr(5);
        size_t slash = rest.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size()) {
            *detail = "An S3 source is named s3://BUCKET/KEY, not " + redactUrl(url);
            return nullptr;
        }
        std::string bucket = rest.substr(0, slash);
        std::string key = rest.substr(slash + 1);
        region = !options.region.empty()
                     ? options.region
                     : envOr("AWS_REGION", envOr("AWS_DEFAULT_REGION", "us-east-1"));
        std::string endpoint =
            !options.endpoint.empty() ? options.endpoint : envOr("AWS_ENDPOINT_URL", "");
        while (!endpoint.empty() && endpoint.back() == '/')
            endpoint.pop_back();
        // A custom endpoint (MinIO, Ceph's gateway...) is addressed path-style; AWS itself
        // virtual-hosted.
        fetched = !endpoint.empty()
                      ? endpoint + "/" + bucket + "/" + tqtools::percentEncode(key, true)
                      : "https://" + bucket + ".s3." + region + ".amazonaws.com/" +
                            tqtools::percentEncode(key, true);
        if (!findS3Credentials(&credentials, detail))
            return nullptr;
    } else if (!options.netrcFile.empty()) {
        // libcurl reads it on every request: a FIFO there would hang each one.
        std::string text;
        *error = readRegularFile(options.netrcFile, "netrc file", &text, detail);
        if (*error != 0)
            return nullptr;
    }
    std::unique_ptr<HttpSource> source(
        new HttpSource(fetched, redactUrl(url), s3, region, credentials, options));
    *error = source->probe(detail);
    if (*error != 0)
        return nullptr;
    return std::unique_ptr<Source>(source.release());
}

namespace {

// Whether the userinfo of the URL holds a password.
bool hasPassword(const std::string& url) {
    return redactUrl(url).find(":***@") != std::string::npos;
}

}  // namespace

bool checkRemoteSize(const Source& source, long long deviceSize, bool allowShort, std::string* note,
                     std::string* detail) {
    long long size = source.size();
    note->clear();
    if (size < deviceSize) {
        if (!allowShort) {
            *detail = "The source holds " + std::to_string(size) + " bytes, fewer than the " +
                      std::to_string(deviceSize) +
                      " of the device; --allow-short-source reads the missing tail as zeros";
            return false;
        }
        *note = "the source holds " + std::to_string(size) + " bytes, the device " +
                std::to_string(deviceSize) + ": the last " + std::to_string(deviceSize - size) +
                " bytes read as zeros";
    } else if (size > deviceSize) {
        *note = "the source holds " + std::to_string(size) + " bytes, more than the " +
                std::to_string(deviceSize) + " of the device: the rest is not read";
    }
    return true;
}

std::unique_ptr<Source> openRemoteForStore(const std::string& url, const RemoteOptions& options,
                                           const std::string& storeDir, bool allowShort,
                                           std::string* note, std::string* detail) {
    CZyError err;
    std::unique_ptr<TqBlkRecallStore> store(TqBlkRecallStore::open(storeDir.c_str(), &err));
    if (!store) {
        *detail = err.GetDescription();
        return nullptr;
    }
    int error = 0;
    const std::string shown = redactUrl(url);
    std::unique_ptr<Source> source = openRemoteSource(url, options, &error, detail);
    if (!source) {
        *detail = "Couldn't use the source " + shown + ": " + *detail;
        return nullptr;
    }
    std::string sizeNote;
    if (!checkRemoteSize(*source, store->getDeviceSize(), allowShort, &sizeNote, detail))
        return nullptr;
    std::string version = source->version();
    if (version.empty() && !options.allowUnversioned) {
        *detail = "The source " + shown +
                  " names no version of itself (neither ETag nor Last-Modified), so a change "
                  "to it while the service runs could not be seen and the device could mix "
                  "two versions; --allow-unversioned-source serves it anyway";
        return nullptr;
    }
    if (version.empty())
        version =
            "(none given: a change to the source while the service runs goes unseen, "
            "--allow-unversioned-source)";
    *note = "reading " + shown + ": " + std::to_string(source->size()) + " bytes, version " +
            version + (sizeNote.empty() ? "" : "; " + sizeNote);
    if (hasPassword(url))
        *note +=
            "; the URL's password is visible to every local user in the process list: "
            "give it in a --netrc-file instead";
    return source;
}

}  // namespace recalld
