#include "Manifest.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tqimage {
namespace {

constexpr const char* kMagic = "tqblk-image 1";
constexpr long long kMinExtent = 4096;
constexpr long long kMaxExtent = 1LL << 30;

// Reads a decimal number that is the whole of text: no sign, no spaces, no overflow.
bool readNumber(const std::string& text, long long* out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    *out = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

// Takes the line starting at *pos (without its '\n') and moves past it; false at the end or
// on a last line without '\n'.
bool nextLine(const std::string& text, size_t* pos, std::string* line) {
    size_t end = text.find('\n', *pos);
    if (end == text.npos)
        return false;
    line->assign(text, *pos, end - *pos);
    *pos = end + 1;
    return true;
}

// Reads "KEY VALUE" into a number.
bool readField(const std::string& line, const std::string& key, long long* out) {
    return line.compare(0, key.size() + 1, key + " ") == 0 &&
           readNumber(line.substr(key.size() + 1), out);
}

int invalid(std::string* detail, const std::string& what) {
    *detail = "not a valid image manifest: " + what;
    return EINVAL;
}

}  // namespace

std::string Manifest::serialize() const {
    std::ostringstream text;
    text << kMagic << "\nname " << name << "\nsize " << size << "\nextent-size " << extentSize
         << "\nextents " << extents.size() << '\n';
    for (const ManifestExtent& extent : extents) {
        if (extent.zero)
            text << "zero\n";
        else
            text << toHex(extent.digest) << ' ' << extent.chunkSize << '\n';
    }
    std::string body = text.str();
    return body + "sha256 " + toHex(sha256(body.data(), body.size())) + '\n';
}

int parseManifest(const std::string& text, Manifest* out, std::string* detail) {
    size_t pos = 0;
    std::string line;
    if (!nextLine(text, &pos, &line) || line != kMagic)
        return invalid(detail, line.rfind("tqblk-image ", 0) == 0
                                   ? "version \"" + line.substr(12) + "\" is not known here"
                                   : "it does not start with \"" + std::string(kMagic) + "\"");
    Manifest manifest;
    long long count = 0;
    if (!nextLine(text, &pos, &line) || line.compare(0, 5, "name ") != 0 ||
        !validImageName(line.substr(5)))
        return invalid(detail, "no valid name line");
    manifest.name = line.substr(5);
    if (!nextLine(text, &pos, &line) || !readField(line, "size", &manifest.size) ||
        manifest.size <= 0)
        return invalid(detail, "no valid size line");
    if (!nextLine(text, &pos, &line) || !readField(line, "extent-size", &manifest.extentSize) ||
        manifest.extentSize < kMinExtent || manifest.extentSize > kMaxExtent ||
        (manifest.extentSize & (manifest.extentSize - 1)) != 0)
        return invalid(detail, "no valid extent-size line (a power of two from 4 KiB to 1 GiB)");
    if (!nextLine(text, &pos, &line) || !readField(line, "extents", &count) ||
        count != (manifest.size + manifest.extentSize - 1) / manifest.extentSize)
        return invalid(detail, "the extents line does not match the size and extent size");
    manifest.extents.resize(static_cast<size_t>(count));
    for (long long i = 0; i < count; ++i) {
        ManifestExtent& extent = manifest.extents[static_cast<size_t>(i)];
        long long chunkSize = 0;
        if (!nextLine(text, &pos, &line))
            return invalid(detail, "it ends after " + std::to_string(i) + " of " +
                                       std::to_string(count) + " extents");
        if (line == "zero")
            continue;
        extent.zero = false;
        if (line.size() < 66 || line[64] != ' ' || !fromHex(line.substr(0, 64), &extent.digest) ||
            !readNumber(line.substr(65), &chunkSize) || chunkSize < 1 ||
            chunkSize > manifest.extentSize)
            return invalid(detail, "extent " + std::to_string(i) + "'s line is not valid");
        extent.chunkSize = static_cast<uint32_t>(chunkSize);
    }
    const size_t bodyEnd = pos;
    Digest stated{};
    if (!nextLine(text, &pos, &line) || line.compare(0, 7, "sha256 ") != 0 ||
        !fromHex(line.substr(7), &stated))
        return invalid(detail, "no digest line after the extents");
    if (pos != text.size())
        return invalid(detail, "text follows the digest line");
    if (sha256(text.data(), bodyEnd) != stated) {
        *detail = "the image manifest does not match its digest: it is damaged";
        return EIO;
    }
    *out = std::move(manifest);
    return 0;
}

std::string manifestDigest(const std::string& text) {
    return text.substr(text.rfind("sha256 ") + 7, 64);
}

bool validImageName(const std::string& name) {
    return !name.empty() && name.size() <= 128 && name[0] != '.' &&
           name.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               "0123456789._-") == name.npos;
}

std::string manifestKey(const std::string& name) {
    return "manifests/" + name;
}

namespace {
const char kManifestPrefix[] = "manifest+";
}  // namespace

bool hasManifestPrefix(const std::string& location) {
    return location.compare(0, sizeof kManifestPrefix - 1, kManifestPrefix) == 0;
}

std::string withoutManifestPrefix(const std::string& location) {
    return hasManifestPrefix(location) ? location.substr(sizeof kManifestPrefix - 1) : location;
}

bool splitManifestLocation(const std::string& location, std::string* root, std::string* name) {
    const size_t at = location.rfind("manifests/");
    if (at == location.npos || (at > 0 && location[at - 1] != '/'))
        return false;
    *name = location.substr(at + 10);
    *root = at == 0 ? "." : at == 1 ? "/" : location.substr(0, at - 1);
    return validImageName(*name);
}

}  // namespace tqimage
