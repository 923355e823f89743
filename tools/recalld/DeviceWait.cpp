#include "DeviceWait.h"

#include "ErrnoText.h"
#include "ToolDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace recalld {
namespace {

// One check: 0 when the admin node opens and the driver knows the device, else the errno;
// *what names what is missing.
int checkOnce(const std::string& adminNode, const std::string& uuid, std::string* what) {
    tqtools::ToolDriver driver(adminNode);
    CZyError err = driver.open();
    if (err.IsError()) {
        *what = "the admin node " + driver.path();
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    bool ready = false;
    err = driver.checkDevice(uuid.c_str(), &ready);
    if (err.IsError()) {
        *what = "device " + uuid;
        return err.GetErrNo() > 0 ? err.GetErrNo() : EIO;
    }
    return 0;
}

}  // namespace

int waitForDevice(const std::string& adminNode, const std::string& uuid, int seconds,
                  tqtools::Interrupter& stop, const std::function<void(const std::string&)>& note) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kFirst{100}, kLast{5000};
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    std::chrono::milliseconds pause = kFirst;
    std::string told;
    for (;;) {
        std::string what;
        int e = checkOnce(adminNode, uuid, &what);
        if (e == 0)
            return 0;
        std::string text = what + ": " + errnoText(e);
        if (Clock::now() >= deadline)
            return e;
        if (text != told)
            note("waiting for " + text + " (at most " + std::to_string(seconds) + " s)");
        told = text;
        if (!stop.sleepUntil(std::min(Clock::now() + pause, deadline)))
            return ECANCELED;
        pause = std::min(pause * 2, kLast);
    }
}

}  // namespace recalld
