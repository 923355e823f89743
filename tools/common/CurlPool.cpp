#include "CurlPool.h"

#include "CurlCommon.h"
#include "S3Address.h"

#include <cerrno>

namespace tqtools {

CurlAccess curlAccess(const RemoteAccess& options) {
    CurlAccess access;
    access.cacert = options.cacert;
    access.netrcFile = options.netrcFile;
    access.connectSeconds = options.connectSeconds;
    access.minRate = options.minRate;
    access.stallSeconds = options.stallSeconds;
    return access;
}

int prepareAccess(bool s3, const RemoteAccess& options, CurlAccess* access, std::string* detail) {
    access->s3 = s3;
    if (s3) {
        access->region = s3Region(options.region);
        return findS3Credentials(&access->credentials, detail) ? 0 : EINVAL;
    }
    std::string text;
    return options.netrcFile.empty()
               ? 0
               : readRegularFile(options.netrcFile, "netrc file", &text, detail);
}

CurlHandle::~CurlHandle() {
    if (m_curl != nullptr)
        curl_easy_cleanup(m_curl);
    curl_slist_free_all(m_headers);
}

CURLcode CurlHandle::perform() {
    m_error[0] = '\0';
    return curl_easy_perform(m_curl);
}

void CurlHandle::setHeaders(struct curl_slist* headers) {
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, headers);
    curl_slist_free_all(m_headers);
    m_headers = headers;
}

CurlPool::CurlPool(CurlAccess access) : m_access(std::move(access)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlPool::Lease CurlPool::acquire() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_idle.empty()) {
            std::unique_ptr<CurlHandle> handle = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(this, std::move(handle));
        }
    }
    std::unique_ptr<CurlHandle> handle(new CurlHandle);
    CURL* c = handle->m_curl = curl_easy_init();
    if (c == nullptr)
        return Lease(this, nullptr);
    const CurlAccess& a = m_access;
    if (!a.url.empty())
        curl_easy_setopt(c, CURLOPT_URL, a.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
    // A body in a few reads rather than one per 16 KiB.
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);
    if (a.uploads)
        curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!a.cacert.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, a.cacert.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, a.connectSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, a.minRate);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, a.stallSeconds);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, a.onHeader);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, a.onBody);
    if (a.onProgress != nullptr) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, a.onProgress);
        if (a.progressData != nullptr)
            curl_easy_setopt(c, CURLOPT_XFERINFODATA, a.progressData);
    }
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, handle->m_error);
    if (!a.s3 && !a.netrcFile.empty()) {
        // Credentials in the URL come first; else the file's for the host, if any.
        curl_easy_setopt(c, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
        curl_easy_setopt(c, CURLOPT_NETRC_FILE, a.netrcFile.c_str());
    }
    if (a.s3)
        setS3Signing(c, a.region, a.credentials);
    return Lease(this, std::move(handle));
}

void CurlPool::release(std::unique_ptr<CurlHandle> handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(std::move(handle));
}

bool transferFailed(CURLcode code, const CurlHandle& handle, const std::string& failed,
                    Outcome* out) {
    if (code == CURLE_OK)
        return false;
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        out->error = ECANCELED;
        return true;
    }
    out->error = EIO;
    out->transient = transientCurlError(code);
    out->detail = failed + (*handle.error() != '\0' ? handle.error() : curl_easy_strerror(code));
    return true;
}

}  // namespace tqtools
