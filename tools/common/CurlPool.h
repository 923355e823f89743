#ifndef TQBLK_TOOLS_CURLPOOL_H
#define TQBLK_TOOLS_CURLPOOL_H

// Kept libcurl handles: each keeps its connection between requests, and the options every
// request shares are set once, when the handle is made; a request sets only what changes
// (URL, method, range, headers, timeouts, where the response goes).

#include "RemoteAccess.h"
#include "Retry.h"
#include "S3Credentials.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tqtools {

// What every request of a pool shares.
struct CurlAccess {
    std::string url;        // when every request fetches the same one
    std::string cacert;     // a CA bundle to verify TLS servers with, besides the system's
    std::string netrcFile;  // http(s) credentials per host (not for S3)
    bool s3 = false;        // signed with AWS SigV4 for region (when credentials are given)
    std::string region;
    S3Credentials credentials;
    long connectSeconds = 10;
    long minRate = 1;  // bytes/s below which, over stallSeconds, a transfer fails
    long stallSeconds = 15;
    bool uploads = false;  // requests send bodies: an upload buffer of the same size
    curl_write_callback onHeader = nullptr;
    curl_write_callback onBody = nullptr;
    // Called from curl's transfer loop, which has no timer or poll of its own for it: what
    // lets an interrupt cut a stalled transfer (returning nonzero ends it).
    curl_xferinfo_callback onProgress = nullptr;
    void* progressData = nullptr;  // else set by each request
};

// What options give of a pool's access: the CA bundle, the netrc file and the timeouts.
CurlAccess curlAccess(const RemoteAccess& options);

// Makes *access fit to reach s3:// (s3) or http(s):// addresses: for S3 the region and the
// credentials every request is signed with; for http(s) a look at the netrc file, which
// libcurl reads on every request (a FIFO there would hang each one). Returns 0 or an errno
// with *detail.
int prepareAccess(bool s3, const RemoteAccess& options, CurlAccess* access, std::string* detail);

class CurlHandle {
  public:
    CurlHandle() = default;
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
    ~CurlHandle();

    CURL* curl() const { return m_curl; }
    // Runs the request set up; error() then holds curl's message for a failure, if any.
    CURLcode perform();
    const char* error() const { return m_error; }
    // Sends headers (owned from now on) with this and later requests.
    void setHeaders(struct curl_slist* headers);

    int headersKind = -1;  // which of its header lists the caller last set, for its own use

  private:
    friend class CurlPool;
    CURL* m_curl = nullptr;
    struct curl_slist* m_headers = nullptr;
    char m_error[CURL_ERROR_SIZE] = "";
};

class CurlPool {
  public:
    explicit CurlPool(CurlAccess access);

    // A handle lent until the lease ends; empty when none can be made (out of memory).
    class Lease {
      public:
        Lease(CurlPool* pool, std::unique_ptr<CurlHandle> handle)
            : m_pool(pool), m_handle(std::move(handle)) {}
        Lease(Lease&&) = default;
        ~Lease() {
            if (m_handle)
                m_pool->release(std::move(m_handle));
        }
        explicit operator bool() const { return m_handle != nullptr; }
        CurlHandle* operator->() const { return m_handle.get(); }
        CurlHandle& operator*() const { return *m_handle; }

      private:
        CurlPool* m_pool;
        std::unique_ptr<CurlHandle> m_handle;
    };

    Lease acquire();

  private:
    void release(std::unique_ptr<CurlHandle> handle);

    const CurlAccess m_access;
    std::mutex m_mutex;  // guards m_idle
    std::vector<std::unique_ptr<CurlHandle>> m_idle;
};

// Judges a transfer that did not complete: false when code is CURLE_OK; else *out is
// ECANCELED (stopped by the progress callback), or EIO with failed + curl's message,
// transient when the failure may pass.
bool transferFailed(CURLcode code, const CurlHandle& handle, const std::string& failed,
                    Outcome* out);

}  // namespace tqtools

#endif
