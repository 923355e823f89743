#ifndef TQBLK_EMULATOR_FUSEFS_H
#define TQBLK_EMULATOR_FUSEFS_H

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

namespace tqemu {

class Emulator;

// The file system operations that show the emulator as a mount: the admin node, the test
// surface ("control", "log", "state") and one block device node per device. The session's
// user data must be the Emulator.
const fuse_lowlevel_ops& fileSystemOperations();

}  // namespace tqemu

#endif
