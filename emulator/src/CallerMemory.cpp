#include "CallerMemory.h"

#include <sys/uio.h>

#include <cerrno>

namespace tqemu {
namespace {

// A partial transfer means part of the range is not mapped: the driver's EFAULT.
int result(ssize_t moved, size_t size) {
    if (moved < 0)
        return errno == ESRCH ? ESRCH : EFAULT;
    return static_cast<size_t>(moved) == size ? 0 : EFAULT;
}

}  // namespace

int readCallerMemory(pid_t pid, uint64_t address, void* buffer, size_t size) {
    if (size == 0)
        return 0;
    struct iovec local = {buffer, size};
    struct iovec remote = {reinterpret_cast<void*>(address), size};
    return result(::process_vm_readv(pid, &local, 1, &remote, 1, 0), size);
}

int writeCallerMemory(pid_t pid, uint64_t address, const void* buffer, size_t size) {
    if (size == 0)
        return 0;
    struct iovec local = {const_cast<void*>(buffer), size};
    struct iovec remote = {reinterpret_cast<void*>(address), size};
    return result(::process_vm_writev(pid, &local, 1, &remote, 1, 0), size);
}

}  // namespace tqemu
