#pragma once

#include <string>
#include <string_view>

namespace tovo {

// Writes "tovo-control[{pid}]: {message}" and a line feed to standard error with one
// write, so lines from different threads never interleave. Safe from any thread.
void log(std::string_view message);

// The line `log` writes, without writing it.
std::string logLine(std::string_view message);

}  // namespace tovo
