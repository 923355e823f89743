#ifndef TQBLK_EMULATOR_CALLERMEMORY_H
#define TQBLK_EMULATOR_CALLERMEMORY_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tqemu {

// Copies size bytes from address in the memory of process pid into buffer, as a driver
// copies from user space. Returns 0, or an errno; a partial copy is EFAULT.
int readCallerMemory(pid_t pid, uint64_t address, void* buffer, size_t size);

// Copies size bytes from buffer to address in the memory of process pid. Returns 0, or an
// errno; a partial copy is EFAULT.
int writeCallerMemory(pid_t pid, uint64_t address, const void* buffer, size_t size);

}  // namespace tqemu

#endif
