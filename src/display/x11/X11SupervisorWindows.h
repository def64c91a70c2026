#pragma once

#include "display/OwnWindows.h"

#include <cstdint>
#include <memory>

namespace tovo {

// Keeps the windows of the app that supervises the service (process `supervisorPid`, the
// windows that carry its mark) in `own`, so that pictures and streams leave them out as
// they do the service's own: the pairing window shows a live pairing code.
//
// A thread of its own with its own X connection follows the root's children (at once on a
// change, and every second, and across an X server that goes and comes back). `own` must
// outlive the result; destroying the result stops the thread and removes what it added.
std::shared_ptr<void> watchSupervisorWindows(OwnWindows& own, int32_t supervisorPid);

}  // namespace tovo
