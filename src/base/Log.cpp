#include "base/Log.h"

#include "base/Mutex.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace tovo {
namespace {

Mutex sinkLock;  // guards sink; never held while a line is written
std::shared_ptr<const LogSink> sink TOVO_GUARDED_BY(sinkLock);

void writeToStandardError(const std::string& line) {
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

std::string localTimeStamp(long long epochMs) {
    std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
    std::string offset = zone;
    if (offset.size() == 5) offset.insert(3, ":");
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03lld", epochMs % 1000);
    return std::string(stamp) + ms + offset;
}

std::string stampedLogLine(std::string_view message) {
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    return localTimeStamp(now.count()) + " " + logLine(message);
}

std::string logLine(std::string_view message) {
    std::string line = "tovo-control[" + std::to_string(::getpid()) + "]: ";
    line.append(message);
    line += '\n';
    return line;
}

void log(std::string_view message) {
    std::shared_ptr<const LogSink> current;
    {
        MutexLock guard(sinkLock);
        current = sink;
    }
    if (current && *current) {
        (*current)(message);
    } else {
        writeToStandardError(logLine(message));
    }
}

LogSink stampedStandardError() {
    return [](std::string_view message) { writeToStandardError(stampedLogLine(message)); };
}

LogSink setLogSink(LogSink replacement) {
    MutexLock guard(sinkLock);
    LogSink previous = sink ? *sink : LogSink();
    sink = replacement ? std::make_shared<const LogSink>(std::move(replacement)) : nullptr;
    return previous;
}

}  // namespace tovo
