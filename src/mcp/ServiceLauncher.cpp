#include "mcp/ServiceLauncher.h"

#include "base/Log.h"
#include "http/UnixHTTPClient.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace tovo::mcp {
namespace {

using namespace std::chrono_literals;

// True when an X server accepts connections on a local $DISPLAY (":N" or ":N.S").
bool localXServerAnswers() {
    const char* display = std::getenv("DISPLAY");
    if (!display || display[0] != ':') return false;
    const std::string number = std::string(display + 1).substr(0, std::string(display + 1).find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string path = "/tmp/.X11-unix/X" + number;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The first line a child writes to `fd`, within `limit`.
std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + limit;
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    while (std::chrono::steady_clock::now() < deadline) {
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n == 1) {
            if (c == '\n') return text;
            text += c;
        } else if (n == 0) {
            break;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    return text;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

pid_t ServiceLauncher::spawn(const std::vector<std::string>& argv, int* stdinWriter, int outputFd) {
    int input[2] = {-1, -1};
    if (stdinWriter && ::pipe2(input, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid == 0) {
        int in = stdinWriter ? input[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(outputFd >= 0 ? outputFd : 2, 1);
        ::setpgid(0, 0);  // a terminal's Ctrl-C reaches the MCP client, which ends us in order
        sigset_t none;    // signals the MCP server waits for are blocked there, not here
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "mcp: cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    if (stdinWriter) {
        ::close(input[0]);
        *stdinWriter = input[1];
    }
    return pid;
}

void ServiceLauncher::startDesktop() {
    char dir[] = "/tmp/tovo-mcp-desktop-XXXXXX";
    if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    desktopDir = dir;
    int displayPipe[2];
    if (::pipe(displayPipe) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    // -displayfd: Xvfb picks a free display number and writes it once it accepts clients.
    desktop.push_back(spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"},
                            nullptr, displayPipe[1]));
    ::close(displayPipe[1]);
    std::string number = readLine(displayPipe[0], 20s);
    ::close(displayPipe[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start (is the xvfb package installed?)");
    ::setenv("DISPLAY", (":" + number).c_str(), 1);

    const std::string runtime = desktopDir + "/runtime";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    int busPipe[2];
    if (::pipe(busPipe) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    desktop.push_back(spawn(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + desktopDir + "/bus", "--print-address=1"},
        nullptr, busPipe[1]));
    ::close(busPipe[1]);
    std::string bus = readLine(busPipe[0], 10s);
    ::close(busPipe[0]);
    if (!bus.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    desktop.push_back(spawn({"openbox"}, nullptr));
    log("mcp: started a headless desktop (Xvfb 1920x1080, openbox) on DISPLAY=:" + number);
}

ServiceLauncher::ServiceLauncher(const std::string& executable, const std::string& socket) {
    try {
        if (!localXServerAnswers() && !std::getenv("WAYLAND_DISPLAY")) startDesktop();
        std::filesystem::create_directories(std::filesystem::path(socket).parent_path());
        ::chmod(std::filesystem::path(socket).parent_path().c_str(), 0700);
        service = spawn({executable, "--socket", socket, "--exit-on-stdin-eof"}, &serviceStdin);
        for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
            try {
                if (UnixHTTP::request(socket, "GET", "/status", std::nullopt, 2).status > 0) return;
            } catch (const UnixHTTP::RequestFailed&) {}
            if (::waitpid(service, nullptr, WNOHANG) == service) {
                service = -1;
                throw std::runtime_error("the service ended at start (its log is above)");
            }
            std::this_thread::sleep_for(50ms);
        }
        throw std::runtime_error("the service did not answer on " + socket + " within 20 s");
    } catch (...) {
        shutdown();
        throw;
    }
}

ServiceLauncher::~ServiceLauncher() { shutdown(); }

void ServiceLauncher::shutdown() {
    if (serviceStdin >= 0) ::close(serviceStdin);  // the service exits at the end of its input
    serviceStdin = -1;
    stop(service);
    service = -1;
    for (auto it = desktop.rbegin(); it != desktop.rend(); ++it) stop(*it);
    desktop.clear();
    if (!desktopDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(desktopDir, ignored);
        desktopDir.clear();
    }
}

}  // namespace tovo::mcp
