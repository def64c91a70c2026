#include "desktop/wlroots/SwayIpc.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tovo {
namespace {

constexpr char magic[] = "i3-ipc";  // six bytes, then the length and type of the payload
constexpr size_t headerSize = 6 + 4 + 4;

// Moves all of `size` bytes one way before `deadline`.
template <typename Step>
bool whole(int fd, size_t size, short events, std::chrono::steady_clock::time_point deadline, Step step) {
    size_t done = 0;
    while (done < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = step(done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::optional<std::string> swaySocketPath() {
    if (const char* path = std::getenv("SWAYSOCK"); path && *path) return std::string(path);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime) return std::nullopt;
    DIR* dir = ::opendir(runtime);
    if (!dir) return std::nullopt;
    std::optional<std::string> found;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("sway-ipc.", 0) == 0 && name.size() > 5 && name.substr(name.size() - 5) == ".sock")
            found = std::string(runtime) + "/" + name;
    }
    ::closedir(dir);
    return found;
}

std::optional<nlohmann::json> swayRequest(const std::string& socketPath, uint32_t type, const std::string& payload) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::string message(magic, 6);
    const auto length = static_cast<uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), 4);
    message.append(reinterpret_cast<const char*>(&type), 4);
    message += payload;
    if (!whole(fd, message.size(), POLLOUT, deadline,
               [&](size_t at) { return ::send(fd, message.data() + at, message.size() - at, MSG_NOSIGNAL); }))
        return std::nullopt;
    char header[headerSize];
    if (!whole(fd, headerSize, POLLIN, deadline,
               [&](size_t at) { return ::recv(fd, header + at, headerSize - at, 0); }))
        return std::nullopt;
    if (std::memcmp(header, magic, 6) != 0) return std::nullopt;
    uint32_t size = 0;
    std::memcpy(&size, header + 6, 4);
    if (size > 64u << 20) return std::nullopt;
    std::string body(size, '\0');
    if (!whole(fd, size, POLLIN, deadline, [&](size_t at) { return ::recv(fd, body.data() + at, size - at, 0); }))
        return std::nullopt;
    auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

}  // namespace tovo
