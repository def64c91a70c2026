#include "app/LogFile.h"

#include "base/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tovo {

LogFile::LogFile(std::string path) : file(std::move(path)) {
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && info.st_size > rotateAbove) {
        std::rename(file.c_str(), (file + ".1").c_str());
    }
    fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

LogFile::~LogFile() {
    if (fd >= 0) ::close(fd);
}

std::string LogFile::line(const std::string& message, long long epochMs, int pid) {
    return localTimeStamp(epochMs) + " tovo-control-app[" + std::to_string(pid) + "]: " + message + "\n";
}

void LogFile::write(const std::string& message) const {
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::string text = line(message, now.count(), ::getpid());
    [[maybe_unused]] auto written = ::write(fd >= 0 ? fd : STDERR_FILENO, text.data(), text.size());
}

}  // namespace tovo
