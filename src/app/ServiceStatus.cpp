#include "app/ServiceStatus.h"

#include "base/Json.h"

namespace tovo {
namespace {

bool flag(const nlohmann::json& o, const char* key) {
    auto it = o.find(key);
    return it != o.end() && it->is_boolean() && it->get<bool>();
}

std::optional<std::string> text(const nlohmann::json& o, const char* key) {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

ServiceStatus ServiceStatus::from(const nlohmann::json& o) {
    ServiceStatus status;
    if (!o.is_object()) return status;
    status.ok = flag(o, "ok");
    status.screenRecording = flag(o, "screenRecording");
    status.accessibility = flag(o, "accessibility");
    status.error = text(o, "error");
    auto automation = o.find("automation");
    if (automation == o.end() || !automation->is_object()) automation = o.find("agentControl");
    if (automation != o.end() && automation->is_object()) {
        status.automationActive = flag(*automation, "active");
        auto label = text(*automation, "label");
        if (label && !label->empty()) status.automationLabel = label;
    }
    return status;
}

std::optional<RemoteStatus> RemoteStatus::fromAnswer(int status, const std::string& body) {
    if (status != 200) return std::nullopt;
    auto json = parseJson(body);
    if (!json || !json->is_object()) return std::nullopt;
    return from(*json);
}

bool RemoteStatus::anyConnected() const {
    for (const auto& d : devices) {
        if (d.connected) return true;
    }
    return false;
}

RemoteStatus RemoteStatus::from(const nlohmann::json& o) {
    RemoteStatus status;
    if (!o.is_object()) return status;
    status.enabled = flag(o, "enabled");
    status.listening = status.enabled && flag(o, "listening");
    status.name = text(o, "name").value_or("");
    if (auto devices = o.find("devices"); devices != o.end() && devices->is_array()) {
        for (const auto& d : *devices) {
            if (!d.is_object()) continue;
            auto id = text(d, "id");
            if (!id) continue;
            Device device{*id, text(d, "name").value_or(""), flag(d, "connected")};
            if (auto permissions = d.find("permissions"); permissions != d.end() && permissions->is_object()) {
                for (auto [key, field] :
                     {std::pair{"control", &Device::control}, std::pair{"clipboard", &Device::clipboard},
                      std::pair{"audio", &Device::audio}}) {
                    if (auto v = permissions->find(key); v != permissions->end() && v->is_boolean()) {
                        device.*field = v->get<bool>();
                    }
                }
            }
            status.devices.push_back(device);
        }
    }
    if (auto pairing = o.find("pairing"); pairing != o.end() && pairing->is_object()) {
        if (auto code = text(*pairing, "code")) {
            Pairing p{*code, text(*pairing, "url").value_or(""), 0, text(*pairing, "webUrl").value_or("")};
            if (auto e = pairing->find("expiresAt"); e != pairing->end() && e->is_number()) {
                p.expiresAt = e->get<double>() / 1000;
            }
            status.pairing = p;
        }
    }
    if (auto control = o.find("control"); control != o.end() && control->is_object()) {
        if (auto device = control->find("device"); device != control->end() && device->is_object()) {
            status.controller = Controller{text(*device, "id").value_or(""), text(*device, "name").value_or("")};
        }
    }
    status.error = text(o, "error");
    return status;
}

}  // namespace tovo
