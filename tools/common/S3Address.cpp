#include "S3Address.h"

#include "CurlCommon.h"

#include <cstdlib>

namespace tqtools {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

const char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string s3Region(const std::string& option) {
    return !option.empty() ? option : envOr("AWS_REGION", envOr("AWS_DEFAULT_REGION", "us-east-1"));
}

std::string s3BucketUrl(const std::string& bucket, const std::string& endpointOption,
                        const std::string& region) {
    std::string endpoint = !endpointOption.empty() ? endpointOption : envOr("AWS_ENDPOINT_URL", "");
    while (!endpoint.empty() && endpoint.back() == '/')
        endpoint.pop_back();
    return !endpoint.empty() ? endpoint + "/" + percentEncode(bucket, false)
                             : "https://" + bucket + ".s3." + region + ".amazonaws.com";
}

bool isVirtualHosted(const std::string& bucketUrl) {
    return bucketUrl.find(".amazonaws.com") != std::string::npos;
}

void setS3Signing(CURL* handle, const std::string& region, const S3Credentials& credentials) {
    if (credentials.empty())
        return;
    const std::string sigv4 = "aws:amz:" + region + ":s3";
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, credentials.accessKey.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, credentials.secretKey.c_str());
}

struct curl_slist* appendS3Headers(struct curl_slist* headers, const std::string& payloadSha256,
                                   const S3Credentials& credentials) {
    headers = curl_slist_append(headers, ("x-amz-content-sha256: " + payloadSha256).c_str());
    if (!credentials.empty() && !credentials.sessionToken.empty())
        headers = curl_slist_append(headers,
                                    ("x-amz-security-token: " + credentials.sessionToken).c_str());
    return headers;
}

}  // namespace tqtools
