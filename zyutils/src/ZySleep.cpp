#include <zyutils/ZySleep.h>

#include <tqsys/Retry.h>

#include <cerrno>
#include <ctime>

void ZYSLEEP_InTeRnAl(unsigned int milliseconds, const char* /*sourceFile*/, int /*line*/) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // Sleep through interruptions: nanosleep leaves the remaining time in left.
    tqsys::RetryOnEintr([&left] { return ::nanosleep(&left, &left); });
}
