#ifndef TQBLK_RECALLD_DEVICEWAIT_H
#define TQBLK_RECALLD_DEVICEWAIT_H

#include "Retry.h"

#include <functional>
#include <string>

namespace recalld {

// Waits until the driver's admin node opens and the driver knows the device, so that a
// service started before its driver or device (at boot) neither fails nor burns restarts.
// Checks at once, then after pauses that grow from 100 ms to 5 s, for at most `seconds` in
// all (0: one check). Each change of what it waits for is told through `note` (the admin
// node, the device, with the errno), the first one included. Returns 0 once both are there,
// ECANCELED on stop, else the errno of the last check (ENOENT: no admin node,
// ENODEV: no such device).
int waitForDevice(const std::string& adminNode, const std::string& uuid, int seconds,
                  tqtools::Interrupter& stop, const std::function<void(const std::string&)>& note);

}  // namespace recalld

#endif
