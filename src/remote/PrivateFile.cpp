#include "remote/PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tovo {
namespace {

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void writePrivate(std::string_view bytes, const std::string& path) {
    const std::string temporary = path + ".tmp";
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    };
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) fail(errno);
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            fail(error);
        }
        written += static_cast<size_t>(n);
    }
    // An earlier temporary file may have had other permissions.
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
        int error = errno;
        ::close(fd);
        fail(error);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
    // The rename itself must reach the disk before the old file is gone for good.
    int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void makePrivateDirectory(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    if (::chmod(path.c_str(), 0700) != 0)
        throw std::runtime_error("cannot protect " + path + ": " + std::strerror(errno));
}

}  // namespace tovo
