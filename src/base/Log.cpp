#include "base/Log.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace tovo {
namespace {

std::mutex sinkLock;  // guards sink; never held while a line is written
std::shared_ptr<const LogSink> sink;

void writeToStandardError(std::string_view message) {
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

}  // namespace

std::string logLine(std::string_view message) {
    std::string line = "tovo-control[" + std::to_string(::getpid()) + "]: ";
    line.append(message);
    line += '\n';
    return line;
}

void log(std::string_view message) {
    std::shared_ptr<const LogSink> current;
    {
        std::lock_guard<std::mutex> guard(sinkLock);
        current = sink;
    }
    if (current && *current) {
        (*current)(message);
    } else {
        writeToStandardError(message);
    }
}

LogSink setLogSink(LogSink replacement) {
    std::lock_guard<std::mutex> guard(sinkLock);
    LogSink previous = sink ? *sink : LogSink();
    sink = replacement ? std::make_shared<const LogSink>(std::move(replacement)) : nullptr;
    return previous;
}

}  // namespace tovo
