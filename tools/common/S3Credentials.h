#ifndef TQBLK_TOOLS_S3CREDENTIALS_H
#define TQBLK_TOOLS_S3CREDENTIALS_H

#include <string>

namespace tqtools {

// Keys for signing S3 requests, found the way S3 tools find them: AWS_ACCESS_KEY_ID and
// AWS_SECRET_ACCESS_KEY (with AWS_SESSION_TOKEN) from the environment, else the profile
// AWS_PROFILE (or "default") of the shared credentials file (AWS_SHARED_CREDENTIALS_FILE, or
// ~/.aws/credentials). Never printed: describe() names where they came from, not what they
// are.
struct S3Credentials {
    std::string accessKey;
    std::string secretKey;
    std::string sessionToken;
    std::string origin;  // "the environment", or the file and profile

    bool empty() const { return accessKey.empty(); }
};

// Reads the whole of the regular file at path into *text. Returns 0, or the errno with
// *detail naming the file as `what`: EINVAL when it is no regular file (a FIFO would block
// its reader, a device never end), which is found without waiting for it.
int readRegularFile(const std::string& path, const std::string& what, std::string* text,
                    std::string* detail);

// Finds the credentials; empty ones (and no error) when there are none, for public objects.
// Returns false with *detail when a source names some but they are incomplete or unreadable.
bool findS3Credentials(S3Credentials* out, std::string* detail);

// Reads the profile from a credentials file's text (an INI file: "[profile]" sections of
// "key = value" lines, '#' and ';' comments).
bool parseCredentialsFile(const std::string& text, const std::string& profile, S3Credentials* out);

}  // namespace tqtools

#endif
