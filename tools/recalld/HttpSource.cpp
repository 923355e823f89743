#include "HttpSource.h"

#include "CurlCommon.h"
#include "CurlPool.h"
#include "ErrnoText.h"
#include "HttpJudge.h"
#include "PlaceBytes.h"
#include "Retry.h"
#include "S3Address.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace recalld {
namespace {

using tqtools::Attempt;
using tqtools::HttpAsk;
using tqtools::HttpSeen;
using tqtools::S3Credentials;

// What one HTTP exchange brought back, and where the bytes asked for go.
struct Response {
    HttpSeen seen;
    char* body = nullptr;
    size_t capacity = 0;
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    tqtools::noteHeader(data, size * count, &static_cast<Response*>(user)->seen);
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    Response* r = static_cast<Response*>(user);
    const size_t n = size * count;
    const size_t received = static_cast<size_t>(r->seen.received);
    if (r->seen.status != 206 && r->seen.status != 200) {
        tqtools::noteErrorBody(data, n, &r->seen);
        return n;
    }
    if (r->body == nullptr || received + n > r->capacity) {
        r->seen.overflow = true;
        return 0;  // ends the transfer: never more than the range asked for
    }
    std::memcpy(r->body + received, data, n);
    r->seen.received += static_cast<long long>(n);
    return n;
}

// The header lists a handle may carry (CurlHandle::headersKind).
enum HeadersKind { kPlain, kConditional };

class HttpSource : public Source {
  public:
    HttpSource(tqtools::CurlAccess access, std::string shown, RemoteOptions options)
        : m_shown(std::move(shown)),
          m_s3(access.s3),
          m_credentials(access.credentials),
          m_options(std::move(options)),
          m_pool(withCallbacks(std::move(access), this)) {
        m_policy.tries = m_options.tries;
        m_policy.retrySeconds = m_options.retrySeconds;
        m_policy.maxPauseMs = 5000;
        m_policy.jitterFloor = 0.5;
    }

    // Asks for the object's size and version. Returns 0 or an errno with *detail.
    int probe(std::string* detail) {
        HttpAsk ask;
        ask.shown = m_shown;
        ask.pinned = true;
        HttpSeen seen;
        int e = request(
            [&](tqtools::CurlHandle& h, Attempt* a) { exchange(h, ask, nullptr, a, &seen); },
            detail);
        if (e != 0)
            return e;
        m_size = seen.contentLength;
        if (!seen.etag.empty()) {
            m_version = seen.etag;
            m_versionIsEtag = true;
        } else {
            m_version = seen.lastModified;
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
    void interrupt() override { m_stop.interrupt(); }

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
            HttpAsk ask;
            ask.kind = HttpAsk::Kind::Range;
            ask.shown = m_shown;
            ask.pinned = true;
            ask.version = m_version;
            ask.versionIsEtag = m_versionIsEtag;
            ask.total = m_size;
            ask.offset = offset;
            ask.size = static_cast<long long>(fetch);
            int e = request(
                [&](tqtools::CurlHandle& h, Attempt* a) { exchange(h, ask, buffer, a, nullptr); },
                detail);
            if (e != 0)
                return e;
        }
        int e = placeExtentBytes(target, extent, buffer, size, sync, detail);
        if (e == 0)
            *bytes = static_cast<long long>(size);
        return e;
    }

  private:
    static tqtools::CurlAccess withCallbacks(tqtools::CurlAccess access, HttpSource* self) {
        access.onHeader = onHeader;
        access.onBody = onBody;
        access.onProgress = onProgress;
        access.progressData = self;
        return access;
    }

    // The transfer loop's check for a stop: one load of a flag.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<HttpSource*>(user)->m_stop.interrupted() ? 1 : 0;
    }

    // Runs attempts of one request on a kept handle, retrying transient failures; a changed
    // source fails every request from then on.
    int request(const std::function<void(tqtools::CurlHandle&, Attempt*)>& attempt,
                std::string* detail) {
        tqtools::CurlPool::Lease handle = m_pool.acquire();
        if (!handle) {
            *detail = "Couldn't read " + m_shown + ": out of memory";
            return ENOMEM;
        }
        int e = tqtools::runWithRetries(
            m_policy, m_stop,
            [&](Attempt* a) {
                if (m_stale) {
                    a->error = ESTALE;
                    a->detail = m_shown + " changed since the service started";
                    return;
                }
                attempt(*handle, a);
                if (a->error == ESTALE)
                    reportStale(a->detail);
            },
            detail, &m_retries);
        if (e == ECANCELED)
            *detail = "stopped while reading " + m_shown;
        return e;
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

    // One attempt: a HEAD (Kind::Status) or a GET of the range asked into buffer; *seen
    // receives what the response said, when given.
    void exchange(tqtools::CurlHandle& handle, const HttpAsk& ask, char* buffer, Attempt* a,
                  HttpSeen* seen) {
        CURL* c = handle.curl();
        const bool range = ask.kind == HttpAsk::Kind::Range;
        setHeaders(handle, range && m_versionIsEtag && m_version.rfind("W/", 0) != 0);
        setDeadlines(c, static_cast<size_t>(ask.size), a->budgetMs);
        Response r;
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
        std::string bytes;
        if (!range) {
            curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
            curl_easy_setopt(c, CURLOPT_RANGE, nullptr);
        } else {
            bytes = std::to_string(ask.offset) + "-" + std::to_string(ask.offset + ask.size - 1);
            curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(c, CURLOPT_RANGE, bytes.c_str());
            r.body = buffer;
            r.capacity = static_cast<size_t>(ask.size);
        }
        CURLcode code = handle.perform();
        if (code == CURLE_WRITE_ERROR && r.seen.overflow)
            code = CURLE_OK;  // more than was asked for: judged below
        if (!tqtools::transferFailed(code, handle,
                                     "Couldn't read " + tqtools::askedWhat(ask) + ": ", a))
            static_cast<tqtools::Outcome&>(*a) = tqtools::judgeResponse(ask, r.seen);
        if (seen != nullptr)
            *seen = std::move(r.seen);
    }

    // The handle's header list (If-Match once the version is a strong ETag), when it
    // differs from the one it has.
    void setHeaders(tqtools::CurlHandle& handle, bool conditional) {
        const int kind = conditional ? kConditional : kPlain;
        if (handle.headersKind == kind)
            return;
        struct curl_slist* headers = nullptr;
        if (conditional)
            headers = curl_slist_append(headers, ("If-Match: " + m_version).c_str());
        if (m_s3)
            headers = tqtools::appendS3Headers(headers, tqtools::kEmptySha256, m_credentials);
        handle.setHeaders(headers);
        handle.headersKind = kind;
    }

    // An attempt ends when the request's time runs out, or when it is slower than the
    // minimum rate: over any stall window (the pool's fixed options), or on the whole (a
    // server trickling a few bytes at a time must not hold a recall for hours).
    void setDeadlines(CURL* c, size_t size, long long budgetMs) {
        const long long connectMs = m_options.connectSeconds * 1000;
        const long long attemptMs =
            connectMs + m_options.stallSeconds * 1000 +
            static_cast<long long>(size) * 1000 / std::max(1L, m_options.minRate);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::min(connectMs, budgetMs)));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(attemptMs, budgetMs)));
    }

    const std::string m_shown;  // what the log calls it: the URL given, redacted
    const bool m_s3;
    const S3Credentials m_credentials;
    const RemoteOptions m_options;
    tqtools::RetryPolicy m_policy;
    tqtools::CurlPool m_pool;
    tqtools::Interrupter m_stop;
    long long m_size = -1;
    std::string m_version;
    bool m_versionIsEtag = false;
    std::atomic<bool> m_stale{false};
    std::atomic<long long> m_retries{0};
    std::mutex m_mutex;  // guards m_note
    std::function<void(const std::string&)> m_note;
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
    *error = EINVAL;
    tqtools::CurlAccess access = tqtools::curlAccess(options);
    access.url = url;
    const bool s3 = url.rfind("s3://", 0) == 0;
    const std::string rest = s3 ? url.substr(5) : "";
    const size_t slash = rest.find('/');
    if (s3 && (slash == std::string::npos || slash == 0 || slash + 1 == rest.size())) {
        *detail = "An S3 source is named s3://BUCKET/KEY, not " + redactUrl(url);
        return nullptr;
    }
    *error = tqtools::prepareAccess(s3, options, &access, detail);
    if (*error != 0)
        return nullptr;
    if (s3)
        access.url = tqtools::s3BucketUrl(rest.substr(0, slash), options.endpoint, access.region) +
                     "/" + tqtools::percentEncode(rest.substr(slash + 1), true);
    std::unique_ptr<HttpSource> source(new HttpSource(std::move(access), redactUrl(url), options));
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
