// The store's config file: reading it, and replacing it atomically.

#include "StoreInternal.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using tqblk::store::extentCountOf;
using tqblk::store::isPow2;
using tqsys::UniqueFd;

namespace {

constexpr int kConfigLineSize = 1024;  // one read of the config file takes 1023 characters
// A config file is three short lines; a larger file is refused rather than read whole.
constexpr size_t kMaxConfigSize = 64 * 1024;
const char kSpaces[] = " \t\n\v\f\r";

std::string configPath(const std::string& dir) {
    return dir + "/config";
}

std::string trim(const char* begin, const char* end) {
    while (begin < end && std::strchr(kSpaces, *begin) && *begin)
        ++begin;
    while (end > begin && std::strchr(kSpaces, end[-1]) && end[-1])
        --end;
    return std::string(begin, end);
}

// Values as the reader found them; -1 marks a size that was not given.
struct ConfigValues {
    std::string uuid;
    long long deviceSize = -1;
    int extentSize = -1;
};

void parseConfigLine(char* line, ConfigValues* values) {
    if (char* hash = std::strchr(line, '#'))
        *hash = '\0';
    char* equals = std::strchr(line, '=');
    if (!equals)
        return;
    std::string key = trim(line, equals);
    std::string value = trim(equals + 1, equals + 1 + std::strlen(equals + 1));
    if (key == "uuid")
        values->uuid = value;
    else if (key == "device_size")
        values->deviceSize = std::strtoll(value.c_str(), nullptr, 0);
    else if (key == "extent_size")
        values->extentSize = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
}

// Hands each line to parseConfigLine as fgets with a buffer of kConfigLineSize bytes would:
// a piece ends after a line feed or after kConfigLineSize - 1 characters.
void parseConfigText(const std::string& text, ConfigValues* values) {
    char line[kConfigLineSize];
    for (size_t pos = 0; pos < text.size();) {
        size_t length = std::min(text.size() - pos, sizeof line - 1);
        const void* feed = std::memchr(text.data() + pos, '\n', length);
        if (feed)
            length = static_cast<size_t>(static_cast<const char*>(feed) - (text.data() + pos)) + 1;
        std::memcpy(line, text.data() + pos, length);
        line[length] = '\0';
        parseConfigLine(line, values);
        pos += length;
    }
}

CZyError notRegularConfig(const JQCodeLocation& where, const std::string& path) {
    return JQErrorUtil::ErrorErrNo(where, EINVAL, "Config file %s is not a regular file",
                                   path.c_str());
}

// Opens the config file for reading, refusing anything but a regular file: a FIFO would
// block the open or the read forever, and opening a device may act on it.
CZyError openConfigForReading(const JQCodeLocation& where, const std::string& path, UniqueFd* fd) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open config file %s for reading",
                                       path.c_str());
    if (!S_ISREG(st.st_mode))
        return notRegularConfig(where, path);
    *fd = tqsys::OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!fd->valid())
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open config file %s for reading",
                                       path.c_str());
    // The entry may have been replaced between the stat and the open.
    if (::fstat(fd->get(), &st) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't stat config file %s", path.c_str());
    if (!S_ISREG(st.st_mode))
        return notRegularConfig(where, path);
    return CZyError::Success();
}

// Reads the whole config file into *text, refusing one of more than kMaxConfigSize bytes.
CZyError loadConfigText(const JQCodeLocation& where, const std::string& path, std::string* text) {
    UniqueFd fd;
    CZyError err = openConfigForReading(where, path, &fd);
    if (err.IsError())
        return err;
    // One byte more than allowed tells a file that is too large from one that just fits.
    text->resize(kMaxConfigSize + 1);
    size_t done = 0;
    const int result = tqsys::PreadFull(fd.get(), &(*text)[0], text->size(), 0, &done);
    if (result < 0)
        return JQErrorUtil::ErrorErrNo(where, -result, "Couldn't read config file %s",
                                       path.c_str());
    if (done > kMaxConfigSize)
        return JQErrorUtil::ErrorErrNo(where, EFBIG, "Config file %s is larger than %zu bytes",
                                       path.c_str(), kMaxConfigSize);
    text->resize(done);
    return CZyError::Success();
}

// Claims a new temporary file beside the config file, named uniquely within this process
// and from other processes by the pid.
UniqueFd openConfigTemp(const std::string& config, std::string* tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *tempPath = config + ".tmp." + std::to_string(::getpid()) + "." +
                    std::to_string(counter.fetch_add(1));
        UniqueFd fd = tqsys::OpenRetrying(tempPath->c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd.valid() || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return UniqueFd();
}

CZyError syncDirectory(const JQCodeLocation& where, const std::string& dir,
                       const std::string& config) {
    UniqueFd fd = tqsys::OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (!fd.valid() || ::fsync(fd.get()) != 0)
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't sync directory of config file %s",
                                       config.c_str());
    return CZyError::Success();
}

// Writes text to a new temporary file and renames it over config, so readers see either
// the old or the new file whole. Only the temporary file is touched on failure.
CZyError replaceConfigFile(const JQCodeLocation& where, const std::string& dir,
                           const std::string& config, const std::string& text) {
    std::string tempPath;
    UniqueFd fd = openConfigTemp(config, &tempPath);
    if (!fd.valid())
        return JQErrorUtil::ErrorErrNo(where, errno, "Couldn't open config file %s for writing",
                                       config.c_str());
    CZyError err;
    const int written = tqsys::WriteFull(fd.get(), text.data(), text.size());
    if (written < 0)
        err = JQErrorUtil::ErrorErrNo(where, -written, "Couldn't write config file %s",
                                      config.c_str());
    if (!err.IsError() && ::fsync(fd.get()) != 0)
        err =
            JQErrorUtil::ErrorErrNo(where, errno, "Couldn't flush config file %s", config.c_str());
    if (!err.IsError() && ::close(fd.release()) != 0)
        err =
            JQErrorUtil::ErrorErrNo(where, errno, "Couldn't close config file %s", config.c_str());
    if (!err.IsError() && ::rename(tempPath.c_str(), config.c_str()) != 0)
        err = JQErrorUtil::ErrorErrNo(where, errno, "Couldn't replace config file %s",
                                      config.c_str());
    if (err.IsError()) {
        ::unlink(tempPath.c_str());
        return err;
    }
    return syncDirectory(where, dir, config);
}

}  // namespace

// A UUID reads back unchanged only when the reader sees it whole on one line and keeps all
// of it: no comment sign, no control character, no white space at either end. The line
// feed may arrive as a piece of its own.
bool tqblk::store::uuidSurvivesConfig(const char* uuid) {
    const size_t maxLength = kConfigLineSize - 1 - std::strlen("uuid=");
    size_t length = std::strlen(uuid);
    if (length > maxLength)
        return false;
    if (std::strchr(kSpaces, uuid[0]) || std::strchr(kSpaces, uuid[length - 1]))
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(uuid); *p; ++p)
        if (*p == '#' || *p < 0x20 || *p == 0x7f)
            return false;
    return true;
}

CZyError TqBlkBackingStore::saveConfig() const {
    char text[kConfigLineSize * 2];
    int n = std::snprintf(text, sizeof text, "uuid=%s\ndevice_size=%lld\nextent_size=%d\n",
                          m_uuid.c_str(), m_deviceSize, m_extentSize);
    std::string content = static_cast<size_t>(n) < sizeof text
                              ? std::string(text, static_cast<size_t>(n))
                              : "uuid=" + m_uuid + "\ndevice_size=" + std::to_string(m_deviceSize) +
                                    "\nextent_size=" + std::to_string(m_extentSize) + "\n";
    return replaceConfigFile(TQ_STORE_HERE, m_dir, configPath(m_dir), content);
}

CZyError TqBlkBackingStore::readConfig() {
    std::string path = configPath(m_dir);
    std::string text;
    CZyError err = loadConfigText(TQ_STORE_HERE, path, &text);
    if (err.IsError())
        return err;
    ConfigValues values;
    parseConfigText(text, &values);

    if (values.uuid.empty())
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Couldn't find UUID in config file %s", path.c_str());
    if (values.deviceSize < 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Couldn't find device size in config file %s", path.c_str());
    if (values.extentSize < 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Couldn't find extent size in config file %s", path.c_str());
    if (values.deviceSize == 0)
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Invalid device size 0 in config file %s", path.c_str());
    if (!isPow2(values.extentSize))
        return JQErrorUtil::ErrorErrNo(TQ_STORE_HERE, EINVAL,
                                       "Invalid extent size %d in config file %s",
                                       values.extentSize, path.c_str());
    m_uuid = values.uuid;
    m_deviceSize = values.deviceSize;
    m_extentSize = values.extentSize;
    m_extentCount = extentCountOf(m_deviceSize, m_extentSize);
    return CZyError::Success();
}
