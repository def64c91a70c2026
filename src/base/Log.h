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

// "{ISO 8601 local time with ms and offset}" for `epochMs` since 1970, e.g.
// "2026-12-07T12:55:01.250+01:00".
std::string localTimeStamp(long long epochMs);

// The default line with the present local time in front, "{time stamp} tovo-control[{pid}]:
// {message}": a supervised service writes these into the app's log, whose own lines carry
// the same stamps.
std::string stampedLogLine(std::string_view message);

// Sends every later line to `sink` instead (tests read the log this way); null restores
// standard error. Returns the sink it replaced.
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);

// A sink that writes stampedLogLine() lines to standard error, each with one write.
LogSink stampedStandardError();

}  // namespace tovo
