#include "base/Log.h"

#include <cerrno>
#include <unistd.h>

namespace tovo {

std::string logLine(std::string_view message) {
    std::string line = "tovo-control[" + std::to_string(::getpid()) + "]: ";
    line.append(message);
    line += '\n';
    return line;
}

void log(std::string_view message) {
    std::string line = logLine(message);
    std::string_view rest(line);
    // One write carries the whole line; the loop only finishes a write that a signal cut short.
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace tovo
