#include "mcp/McpServer.h"

#include "base/Log.h"
#include "http/HTTPError.h"
#include "http/ServerIdentity.h"
#include "http/UnixHTTPClient.h"
#include "mcp/ComputerTools.h"
#include "mcp/McpHttpServer.h"
#include "mcp/McpSession.h"
#include "mcp/ServiceLauncher.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

namespace tovo::mcp {
namespace {

// Above the longest wait a tool may ask of the service (wait_for_settle: 60 s).
constexpr double requestTimeoutSeconds = 75;

struct Options {
    std::optional<std::string> socket;
    std::optional<std::string> http;
};

std::string defaultSocket() {
    if (const char* home = std::getenv("TOVO_HOME"); home && *home) return std::string(home) + "/screen.sock";
    std::string data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        data = xdg;
    } else {
        const char* user = std::getenv("HOME");
        data = std::string(user ? user : "/tmp") + "/.local/share";
    }
    return data + "/tovo-control/screen.sock";
}

bool answers(const std::string& socket) {
    try {
        return UnixHTTP::request(socket, "GET", "/status", std::nullopt, 2).status > 0;
    } catch (const UnixHTTP::RequestFailed&) {
        return false;
    }
}

}  // namespace

bool isMcpLaunch(const std::vector<std::string>& arguments) { return !arguments.empty() && arguments[0] == "mcp"; }

int runMcp(const std::vector<std::string>& arguments, const std::string& executable) {
    Options options;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if ((argument == "--socket" || argument == "--http") && i + 1 < arguments.size()) {
            (argument == "--socket" ? options.socket : options.http) = arguments[++i];
        } else {
            log("mcp: unknown argument " + argument + "; usage: tovo-control mcp [--socket PATH]");
            return 2;
        }
    }
    std::optional<uint16_t> httpPort;
    if (options.http) {
        const std::string prefix = "127.0.0.1:";
        const std::string port = options.http->rfind(prefix, 0) == 0 ? options.http->substr(prefix.size()) : "";
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) > 65535) {
            log("mcp: --http takes 127.0.0.1:PORT (only this machine's loopback address is served)");
            return 2;
        }
        httpPort = static_cast<uint16_t>(std::stoi(port));
        // Signals are taken by sigwait below; blocked before any thread starts, so none gets them.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    }
    const std::string socket = options.socket.value_or(defaultSocket());
    std::optional<ServiceLauncher> child;
    if (!answers(socket)) {
        log("mcp: no service answers on " + socket + "; starting one");
        try {
            child.emplace(executable, socket);
        } catch (const std::exception& failure) {
            log(std::string("mcp: cannot start the service: ") + failure.what());
            return 1;
        }
    }
    auto makeTools = [socket] {
        return std::make_unique<ComputerTools>(
            [socket](const std::string& method, const std::string& target, const std::optional<std::string>& body) {
                return UnixHTTP::request(socket, method, target, body, requestTimeoutSeconds);
            },
            [](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); });
    };
    if (httpPort) {
        try {
            McpHttpServer server(*httpPort, makeTools, ServerIdentity::version());
            log("mcp: serving http://127.0.0.1:" + std::to_string(server.port()) + "/mcp");
            sigset_t signals;
            sigemptyset(&signals);
            sigaddset(&signals, SIGINT);
            sigaddset(&signals, SIGTERM);
            int signal = 0;
            sigwait(&signals, &signal);
        } catch (const HTTPError& error) {
            log("mcp: cannot serve HTTP: " + error.message);
            return 1;
        }
        return 0;
    }
    std::unique_ptr<ComputerTools> tools = makeTools();
    McpSession session(*tools, ServerIdentity::version());
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (auto reply = session.handleText(line)) {
            std::cout << *reply << '\n';
            std::cout.flush();
        }
    }
    return 0;
}

}  // namespace tovo::mcp
