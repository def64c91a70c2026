#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// What the app reads from GET /status. Absent or mistyped keys read as false or none.
struct ServiceStatus {
    bool ok = false;
    bool screenRecording = false;
    bool accessibility = false;
    std::optional<std::string> error;
    bool automationActive = false;
    std::optional<std::string> automationLabel;  // none for an empty label

    // "automation" wins over "agentControl" when both are there.
    static ServiceStatus from(const nlohmann::json& object);
};

// What the app reads from GET /remote (and the answers of the /remote routes).
struct RemoteStatus {
    struct Device {
        std::string id;
        std::string name;
        bool connected = false;
        // What it may do besides seeing the screen (all, from a service that does not say).
        bool control = true;
        bool clipboard = true;
        bool audio = true;
    };
    struct Pairing {
        std::string code;
        std::string url;
        double expiresAt = 0;  // seconds since 1970
        std::string webUrl;    // the browser link (empty from a service without one)
    };
    struct Controller {
        std::string id;
        std::string name;
    };

    bool enabled = false;
    bool listening = false;
    std::string name;
    std::vector<Device> devices;
    std::optional<Pairing> pairing;
    std::optional<Controller> controller;
    std::optional<std::string> error;

    bool anyConnected() const;
    static RemoteStatus from(const nlohmann::json& object);
    // From an answer of the /remote routes: only a 200 with a JSON object counts.
    static std::optional<RemoteStatus> fromAnswer(int status, const std::string& body);
};

}  // namespace tovo
