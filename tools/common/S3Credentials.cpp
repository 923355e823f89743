#include "S3Credentials.h"

#include "ErrorText.h"
#include "UserFile.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

namespace tqtools {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

int readRegularFile(const std::string& path, const std::string& what, std::string* text,
                    std::string* detail) {
    struct stat st;
    const int e = tqtools::readUserFile(path, SIZE_MAX, text, &st);
    if (e == EINVAL)
        *detail = "The " + what + " " + path + " is not a regular file";
    else if (e != 0)
        *detail = "Couldn't read the " + what + " " + path + ": " + errnoText(e);
    return e;
}

bool parseCredentialsFile(const std::string& text, const std::string& profile, S3Credentials* out) {
    std::istringstream lines(text);
    std::string line;
    bool inProfile = false;
    bool found = false;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            inProfile = trim(line.substr(1, line.size() - 2)) == profile;
            found = found || inProfile;
            continue;
        }
        size_t equals = line.find('=');
        if (!inProfile || equals == std::string::npos)
            continue;
        std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key == "aws_access_key_id")
            out->accessKey = value;
        else if (key == "aws_secret_access_key")
            out->secretKey = value;
        else if (key == "aws_session_token")
            out->sessionToken = value;
    }
    return found;
}

bool findS3Credentials(S3Credentials* out, std::string* detail) {
    *out = S3Credentials();
    std::string access = env("AWS_ACCESS_KEY_ID");
    std::string secret = env("AWS_SECRET_ACCESS_KEY");
    if (!access.empty() || !secret.empty()) {
        if (access.empty() || secret.empty()) {
            *detail = "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set together";
            return false;
        }
        out->accessKey = access;
        out->secretKey = secret;
        out->sessionToken = env("AWS_SESSION_TOKEN");
        out->origin = "the environment";
        return true;
    }
    std::string profile = env("AWS_PROFILE");
    bool profileNamed = !profile.empty();
    if (profile.empty())
        profile = "default";
    std::string file = env("AWS_SHARED_CREDENTIALS_FILE");
    bool fileNamed = !file.empty();
    if (file.empty() && !env("HOME").empty())
        file = env("HOME") + "/.aws/credentials";
    if (file.empty())
        return true;
    std::string text;
    int e = readRegularFile(file, "credentials file", &text, detail);
    // Only a file named, or one that is there but no regular file, must be read.
    if (e != 0)
        return !(fileNamed || profileNamed || e == EINVAL);
    S3Credentials found;
    if (!parseCredentialsFile(text, profile, &found)) {
        if (profileNamed) {
            *detail = "The credentials file " + file + " has no profile \"" + profile + "\"";
            return false;
        }
        return true;
    }
    if (found.accessKey.empty() || found.secretKey.empty()) {
        *detail = "The profile \"" + profile + "\" of " + file +
                  " lacks aws_access_key_id or aws_secret_access_key";
        return false;
    }
    found.origin = "profile \"" + profile + "\" of " + file;
    *out = found;
    return true;
}

}  // namespace tqtools
