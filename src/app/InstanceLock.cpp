#include "app/InstanceLock.h"

#include "app/AppError.h"
#include "base/Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tovo {

InstanceLockOutcome InstanceLock::acquire(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw AppError("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
            // The lock holds all the same; only the pid for others is missing.
        }
        return {InstanceLock{fd}, std::nullopt};
    }
    const int error = errno;
    if (error != EWOULDBLOCK) {
        ::close(fd);
        throw AppError("cannot lock " + path + ": " + std::strerror(error));
    }
    char text[33] = {};
    ssize_t got = ::pread(fd, text, 32, 0);
    ::close(fd);
    InstanceLockOutcome outcome;
    if (got > 0) {
        if (auto pid = parseDecimalInteger(trimmed(std::string_view(text, static_cast<size_t>(got))));
            pid && *pid >= INT32_MIN && *pid <= INT32_MAX) {
            outcome.holder = static_cast<pid_t>(*pid);
        }
    }
    return outcome;
}

}  // namespace tovo
