#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tovo {

// Every log line of the service goes through here. By default it writes
// "tovo-control[{pid}]: {message}" and a line feed to standard error with one write, so
// lines from different threads never interleave. Safe from any thread.
void log(std::string_view message);

// The line `log` writes by default, without writing it.
std::string logLine(std::string_view message);

// Sends every later line to `sink` instead (tests read the log this way); null restores
// standard error. Returns the sink it replaced.
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);

}  // namespace tovo
