#pragma once

#include <string>

namespace tovo {

// The app's log: one file, rotated once (to ".1") when it has grown beyond 10 MiB at start.
// Lines are written with one write() each on an append-mode descriptor, so lines from
// several threads never interleave; without the file, lines go to standard error.
//
// Threads: any.
class LogFile {
public:
    static constexpr long long rotateAbove = 10LL * 1024 * 1024;

    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // "{ISO 8601 local time with ms and offset} tovo-control-app[{pid}]: {message}\n".
    void write(const std::string& message) const;
    // The open descriptor (for a child's output), or -1.
    int descriptor() const { return fd; }
    const std::string& path() const { return file; }

    // The line written for `message` at `epochMs` (local time zone).
    static std::string line(const std::string& message, long long epochMs, int pid);

private:
    const std::string file;
    int fd = -1;
};

}  // namespace tovo
