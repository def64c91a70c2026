#pragma once

#include "support/Process.h"
#include "support/SocketClient.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tovo::test {

// The real tovo-control serving a private socket, started on `display` (none: no $DISPLAY)
// with the given environment and extra arguments.
struct ServiceProcess {
    TempDir dir;
    std::string socket = dir.path() + "/screen.sock";
    std::unique_ptr<Process> process;

    ServiceProcess(const std::string& binary, std::optional<std::string> display, Process::Options options = {},
                   const std::vector<std::string>& extra = {}) {
        if (display) {
            options.setEnv["DISPLAY"] = *display;
        } else {
            options.unsetEnv.push_back("DISPLAY");
        }
        if (!options.setEnv.count("TOVO_X11_MONITORS")) options.unsetEnv.push_back("TOVO_X11_MONITORS");
        std::vector<std::string> argv = {binary, "--socket", socket};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process = std::make_unique<Process>(argv, options);
    }

    // The service listens and its socket file exists.
    bool ready(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return process->waitForOutput("listening on " + socket, limit) && fileExists(socket);
    }
    HTTPResponse get(const std::string& target) { return httpExchange(socket, "GET " + target + " HTTP/1.1\r\n\r\n"); }
    // POST `body` to `target`.
    HTTPResponse post(const std::string& target, const std::string& body) {
        return httpExchange(socket, "POST " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                        "\r\n\r\n" + body);
    }
    // GET `target`, expected to answer 200 with JSON (a failed expectation otherwise).
    nlohmann::json getJson(const std::string& target) {
        auto response = get(target);
        EXPECT_EQ(response.status, 200) << target << " " << response.body;
        return nlohmann::json::parse(response.body, nullptr, false);
    }
    std::string path(const std::string& file) const { return dir.path() + "/" + file; }
};

}  // namespace tovo::test
