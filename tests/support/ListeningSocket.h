#pragma once

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace tovo::test {

// The descriptor of this process's listening socket bound to `path`, or -1. Lets a test
// break a listener from outside, the way a failing kernel would.
inline int findListeningSocket(const std::string& path) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* entry = ::readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (fd <= 2) continue;
        sockaddr_un address{};
        socklen_t length = sizeof(address);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        if (address.sun_family != AF_UNIX || path != address.sun_path) continue;
        int listening = 0;
        socklen_t size = sizeof(listening);
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening) {
            found = fd;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace tovo::test
