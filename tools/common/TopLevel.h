#ifndef TQBLK_TOOLS_TOPLEVEL_H
#define TQBLK_TOOLS_TOPLEVEL_H

// The outermost frame of both tools: what escapes a command (memory or a thread that could
// not be had, under a tight ulimit or cgroup) ends the tool with one line and exit status 1
// rather than std::terminate's abort and core dump; output that could not be written (a
// full disk) fails the tool too instead of passing for success. Include it only from the
// file that holds main.

#include "ErrorText.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>

namespace tqtools {

namespace toplevel {

// Memory held back so that, once an allocation fails, there is room left to throw and report
// std::bad_alloc: libstdc++ allocates the exception object itself.
constexpr size_t kReserve = 64 * 1024;
inline void*& reserve() {
    static void* held = nullptr;
    return held;
}

inline void releaseReserve() {
    std::free(reserve());
    reserve() = nullptr;
    std::set_new_handler(nullptr);  // from now on a failed allocation throws
}

// Before main nothing can catch: an allocation failing in a static constructor (CLI11 builds
// its validators there) ends the tool here rather than in an abort.
[[noreturn]] inline void outOfMemoryBeforeMain() {
    static const char kText[] = ": out of memory\n";
    const char* name = program_invocation_short_name;
    if (::write(STDERR_FILENO, name, std::strlen(name)) >= 0)
        (void)!::write(STDERR_FILENO, kText, sizeof kText - 1);
    ::_exit(1);
}

[[gnu::constructor(101)]] static void guardStaticConstructors() {
    std::set_new_handler(outOfMemoryBeforeMain);
}

}  // namespace toplevel

template <class Body>
int runMain(const char* tool, Body body) {
    toplevel::reserve() = std::malloc(toplevel::kReserve);
    std::set_new_handler(toplevel::releaseReserve);
    int status = 1;
    try {
        status = body();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", tool);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "%s: out of system resources: %s\n", tool, e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: failed: %s\n", tool, e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: Couldn't write the output: %s\n", tool, errnoText(errno).c_str());
        return 1;
    }
    return status;
}

}  // namespace tqtools

#endif
