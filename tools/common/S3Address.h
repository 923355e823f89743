#ifndef TQBLK_TOOLS_S3ADDRESS_H
#define TQBLK_TOOLS_S3ADDRESS_H

// Where an S3 bucket is reached and how its requests are signed (AWS SigV4, by libcurl).

#include "S3Credentials.h"

#include <curl/curl.h>

#include <string>

namespace tqtools {

// SHA-256 of an empty body: what S3 wants in x-amz-content-sha256 for a GET or a HEAD.
extern const char kEmptySha256[];

// The region requests are signed for: option, else AWS_REGION, AWS_DEFAULT_REGION,
// "us-east-1".
std::string s3Region(const std::string& option);

// The URL of a bucket, without a trailing '/': path-style at a custom endpoint (option, else
// AWS_ENDPOINT_URL: Ceph's gateway, MinIO...), virtual-hosted at AWS itself.
std::string s3BucketUrl(const std::string& bucket, const std::string& endpointOption,
                        const std::string& region);

// Whether a bucket URL is virtual-hosted (the bucket in the host name).
bool isVirtualHosted(const std::string& bucketUrl);

// Signs every request of handle with the credentials (none when they are empty).
void setS3Signing(CURL* handle, const std::string& region, const S3Credentials& credentials);

// Appends the headers S3 wants besides the signature: the payload's SHA-256 (hex) and the
// session token of temporary credentials.
struct curl_slist* appendS3Headers(struct curl_slist* headers, const std::string& payloadSha256,
                                   const S3Credentials& credentials);

}  // namespace tqtools

#endif
