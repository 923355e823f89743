#include "StoreConfig.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace tqemu {
namespace {

std::string trim(const std::string& text) {
    const char* space = " \t\n\v\f\r";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

}  // namespace

int readStoreMetrics(const std::string& dir, StoreMetrics* metrics) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    std::ifstream config(dir + "/config");
    if (!config)
        return ENOENT;

    StoreMetrics found;
    std::string line;
    while (std::getline(config, line)) {
        line = line.substr(0, line.find('#'));
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key == "device_size")
            found.deviceSize = std::strtoll(value.c_str(), nullptr, 0);
        if (key == "extent_size")
            found.extentSize = std::strtoll(value.c_str(), nullptr, 0);
    }
    if (found.deviceSize < 0 || found.extentSize < 0)
        return EINVAL;
    *metrics = found;
    return 0;
}

}  // namespace tqemu
