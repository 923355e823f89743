#include "ReadLog.h"

#include <tqsys/Retry.h>
#include <tqsys/UniqueFd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace tqemu {
namespace {

constexpr size_t kBufferBytes = 1 << 20;

}  // namespace

ReadOrigin ReadWaits::originOf(long long extent) const {
    auto among = [extent](const std::vector<long long>& list) {
        return std::find(list.begin(), list.end(), extent) != list.end();
    };
    return among(raised)   ? ReadOrigin::kRecalled
           : among(joined) ? ReadOrigin::kJoined
                           : ReadOrigin::kPresent;
}

std::unique_ptr<ReadLog> ReadLog::open(const std::string& path, int* error) {
    tqsys::UniqueFd fd =
        tqsys::OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::FILE* file = fd.valid() ? ::fdopen(fd.get(), "a") : nullptr;
    if (file == nullptr) {
        *error = errno;
        return nullptr;
    }
    fd.release();
    std::setvbuf(file, nullptr, _IOFBF, kBufferBytes);
    return std::unique_ptr<ReadLog>(new ReadLog(file));
}

ReadLog::~ReadLog() {
    std::fclose(m_file);
}

void ReadLog::add(const std::string& device, long long extent, ReadOrigin origin, pid_t reader) {
    static const char* const kWords[] = {"present", "recalled", "joined"};
    std::fprintf(m_file, "%s %lld %s %d\n", device.c_str(), extent,
                 kWords[static_cast<int>(origin)], static_cast<int>(reader));
}

void ReadLog::flush() {
    std::fflush(m_file);
}

}  // namespace tqemu
