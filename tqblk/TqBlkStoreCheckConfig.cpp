// The store checker's own reading of a store's config: the library's grammar, but strict, so
// that a store the library would misread (extent_size=64K read as 64) is never pruned.

#include "StoreCheckInternal.h"

#include <tqsys/FullIo.h>
#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

namespace tqblk::check {

namespace {

// The library reads a line in pieces of this many characters at most; a longer line would
// be read in ways this reader does not follow, so it is refused.
constexpr size_t kMaxLineLength = 1023;
constexpr size_t kMaxConfigSize = 64 * 1024;
const char kSpaces[] = " \t\n\v\f\r";

std::string trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(kSpaces);
    if (begin == std::string::npos)
        return std::string();
    return text.substr(begin, text.find_last_not_of(kSpaces) - begin + 1);
}

// A whole number as the library's reader takes it (decimal, 0x hexadecimal, 0 octal, a
// sign), but nothing may follow it and it must fit.
bool wholeNumber(const std::string& text, long long* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end != text.c_str() && *end == '\0';
}

struct Values {
    std::string uuid;
    std::string deviceSize;
    std::string extentSize;
    bool haveDeviceSize = false, haveExtentSize = false;
};

// Cuts text into lines and keeps the last value of each key; "" when all is well.
std::string parse(const std::string& text, Values* values) {
    size_t lineNumber = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t feed = text.find('\n', pos);
        const size_t end = feed == std::string::npos ? text.size() : feed;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (line.size() > kMaxLineLength)
            return "line " + std::to_string(lineNumber) + " is longer than " +
                   std::to_string(kMaxLineLength) + " characters";
        line = line.substr(0, line.find('#'));
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        if (key == "uuid") {
            values->uuid = value;
        } else if (key == "device_size") {
            values->deviceSize = value;
            values->haveDeviceSize = true;
        } else if (key == "extent_size") {
            values->extentSize = value;
            values->haveExtentSize = true;
        }
    }
    return std::string();
}

std::string judge(const Values& values, Geometry* geometry) {
    if (values.uuid.empty())
        return "no uuid";
    if (!values.haveDeviceSize)
        return "no device_size";
    if (!values.haveExtentSize)
        return "no extent_size";
    long long deviceSize = 0, extentSize = 0;
    if (!wholeNumber(values.deviceSize, &deviceSize) || deviceSize <= 0)
        return "device_size \"" + values.deviceSize + "\" is no positive whole number of bytes";
    if (!wholeNumber(values.extentSize, &extentSize) || extentSize <= 1 || extentSize > INT_MAX ||
        (extentSize & (extentSize - 1)) != 0)
        return "extent_size \"" + values.extentSize +
               "\" is no whole number of bytes that is a power of two";
    geometry->deviceSize = deviceSize;
    geometry->extentSize = extentSize;
    geometry->extentCount = (deviceSize - 1) / extentSize + 1;
    return std::string();
}

}  // namespace

CZyError readConfigStrictly(int storeFd, Geometry* geometry, std::string* problem, bool* readable) {
    problem->clear();
    *readable = false;
    // Only a regular file is read: a FIFO there would hang the reader.
    tqsys::UniqueFd fd = tqsys::OpenAtRetrying(storeFd, "config", O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        const int e = errno;
        if (isResourceErrno(e))
            return JQErrorUtil::ErrorErrNo(JQ_HERE, e, "Couldn't open the config file");
        *problem = e == ENOENT ? "missing" : std::string("unreadable: ") + std::strerror(e);
        return CZyError::Success();
    }
    if (!S_ISREG(st.st_mode)) {
        *problem = "not a regular file";
        return CZyError::Success();
    }
    std::string text(kMaxConfigSize + 1, '\0');
    size_t got = 0;
    const int r = tqsys::PreadFull(fd.get(), &text[0], text.size(), 0, &got);
    if (r < 0) {
        if (isResourceErrno(-r))
            return JQErrorUtil::ErrorErrNo(JQ_HERE, -r, "Couldn't read the config file");
        *problem = std::string("unreadable: ") + std::strerror(-r);
        return CZyError::Success();
    }
    text.resize(got);
    *readable = true;
    if (got > kMaxConfigSize)
        *problem = "larger than " + std::to_string(kMaxConfigSize) + " bytes";
    else if (text.find('\0') != std::string::npos)
        *problem = "holds a NUL byte";
    Values values;
    if (problem->empty())
        *problem = parse(text, &values);
    if (problem->empty())
        *problem = judge(values, geometry);
    return CZyError::Success();
}

}  // namespace tqblk::check
