#include "mcp/McpServer.h"

#include "base/Log.h"
#include "http/ServerIdentity.h"
#include "http/UnixHTTPClient.h"
#include "mcp/ComputerTools.h"
#include "mcp/McpSession.h"
#include "mcp/ServiceLauncher.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

namespace tovo::mcp {
namespace {

constexpr double requestTimeoutSeconds = 30;

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
    if (options.http) {
        log("mcp: --http is not available in this build; use standard input and output");
        return 2;
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
    ComputerTools tools(
        [&socket](const std::string& method, const std::string& target, const std::optional<std::string>& body) {
            return UnixHTTP::request(socket, method, target, body, requestTimeoutSeconds);
        },
        [](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); });
    McpSession session(tools, ServerIdentity::version());
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
