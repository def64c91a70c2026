#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tovo {

struct InstanceLockOutcome;

// One tray app per home: an exclusive flock on the lock file, held until the process
// exits (the descriptor is never closed).
struct InstanceLock {
    int fd = -1;

    // Takes the lock and writes this pid into the file. Throws AppError when the file
    // cannot be opened or locked for another reason than a running holder.
    static InstanceLockOutcome acquire(const std::string& path);
};

struct InstanceLockOutcome {
    std::optional<InstanceLock> lock;  // none: another process holds it
    std::optional<pid_t> holder;       // that process, when its pid could be read
};

}  // namespace tovo
