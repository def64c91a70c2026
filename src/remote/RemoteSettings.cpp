#include "remote/RemoteSettings.h"

#include "base/Json.h"
#include "remote/PrivateFile.h"

namespace tovo {

std::string randomText(Crypto& crypto, size_t n) { return base64url(crypto.randomBytes(n)); }

RemoteSettings RemoteSettings::load(const std::string& path, Crypto& crypto) {
    RemoteSettings settings;
    nlohmann::json object = nlohmann::json::object();
    if (auto text = readWholeFile(path)) {
        if (auto parsed = parseJson(*text); parsed && parsed->is_object()) object = *parsed;
    }
    auto id = object.find("serverId");
    settings.serverId = id != object.end() && id->is_string() && id->get<std::string>().size() >= 16
                            ? id->get<std::string>()
                            : randomText(crypto, 16);
    auto port = object.find("port");
    if (port != object.end() && port->is_number_integer() && port->get<int64_t>() >= 1 &&
        port->get<int64_t>() <= 65535) {
        settings.port = static_cast<uint16_t>(port->get<int64_t>());
    }
    auto enabled = object.find("enabled");
    if (enabled != object.end() && enabled->is_boolean()) settings.enabled = enabled->get<bool>();
    return settings;
}

void RemoteSettings::save(const std::string& path) const {
    nlohmann::json object{{"version", 1}, {"serverId", serverId}, {"port", port}, {"enabled", enabled}};
    writePrivate(object.dump(2) + "\n", path);
}

}  // namespace tovo
