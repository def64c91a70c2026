#include "remote/RemoteDevices.h"

#include "base/Json.h"
#include "base/Log.h"
#include "base/Mutex.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "remote/PrivateFile.h"
#include "remote/RemoteSettings.h"

#include <algorithm>
#include <cmath>

namespace tovo {
namespace {

int64_t millis(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1000)); }

bool isDeviceId(const std::string& id) {
    if (id.size() < 8 || id.size() > 64) return false;
    for (char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

}  // namespace

nlohmann::json DevicePermissions::json() const {
    return {{"control", control}, {"clipboard", clipboard}, {"audio", audio}};
}

DevicePermissions DevicePermissions::from(const nlohmann::json& object, DevicePermissions base) {
    if (!object.is_object()) return base;
    for (auto [key, field] :
         {std::pair{"control", &DevicePermissions::control}, std::pair{"clipboard", &DevicePermissions::clipboard},
          std::pair{"audio", &DevicePermissions::audio}}) {
        auto value = object.find(key);
        if (value != object.end() && value->is_boolean()) base.*field = value->get<bool>();
    }
    return base;
}

nlohmann::json RemoteDevice::json() const {
    nlohmann::json object{{"id", id}, {"name", name}, {"pairedAt", millis(pairedAt)}};
    if (lastSeenAt) object["lastSeenAt"] = millis(*lastSeenAt);
    object["permissions"] = permissions.json();
    return object;
}

RemoteDevices::RemoteDevices(std::string filePath, Crypto& crypto, WallClock clock)
    : path(std::move(filePath)), crypto(crypto), now(std::move(clock)) {
    auto text = readWholeFile(path);
    auto parsed = text ? parseJson(*text) : std::nullopt;
    if (!parsed || !parsed->is_object() || !parsed->contains("devices") || !(*parsed)["devices"].is_array()) return;
    for (const auto& entry : (*parsed)["devices"]) {
        if (!entry.is_object()) continue;
        auto id = entry.find("id"), hash = entry.find("tokenHash"), paired = entry.find("pairedAt");
        if (id == entry.end() || !id->is_string() || hash == entry.end() || !hash->is_string() ||
            hash->get<std::string>().size() != 64 || paired == entry.end() || !paired->is_number()) {
            continue;
        }
        RemoteDevice device;
        device.id = id->get<std::string>();
        auto name = entry.find("name");
        device.name = name != entry.end() && name->is_string() ? name->get<std::string>() : device.id;
        device.pairedAt = paired->get<double>() / 1000;
        if (auto seen = entry.find("lastSeenAt"); seen != entry.end() && seen->is_number()) {
            device.lastSeenAt = seen->get<double>() / 1000;
        }
        device.tokenHash = hash->get<std::string>();
        if (auto permissions = entry.find("permissions"); permissions != entry.end()) {
            device.permissions = DevicePermissions::from(*permissions, {});
        }
        devices.push_back(std::move(device));
    }
}

std::string RemoteDevices::hash(const std::string& token) { return hexDigits(crypto.sha256(token)); }

std::string RemoteDevices::cleanName(const std::string& name) {
    std::string kept;
    for (const std::string& character : utf8Characters(name)) {
        static const char* const breaks[] = {"\n", "\v", "\f", "\r", "\u0085", "\u2028", "\u2029"};
        bool isBreak = false;
        for (const char* b : breaks) isBreak = isBreak || character == b;
        if (!isBreak) kept += character;
    }
    std::string trimmedName(trimmed(kept, " \t"));
    std::string out;
    size_t count = 0;
    for (const std::string& character : utf8Characters(trimmedName)) {
        if (++count > 64) break;
        out += character;
    }
    return out.empty() ? "iPhone" : out;
}

std::optional<PairingCode> RemoteDevices::liveCodeLocked() {
    if (code && code->expiresAt <= now()) code.reset();
    return code;
}

PairingCode RemoteDevices::startPairing() {
    PairingCode fresh{randomText(crypto, 16), now() + codeLifetime};
    {
        MutexLock guard(lock);
        code = fresh;
    }
    changed();
    return fresh;
}

void RemoteDevices::stopPairing() {
    bool had;
    {
        MutexLock guard(lock);
        had = code.has_value();
        code.reset();
    }
    if (had) changed();
}

std::optional<PairingCode> RemoteDevices::pairingCode() {
    MutexLock guard(lock);
    return liveCodeLocked();
}

std::string RemoteDevices::pair(const std::string& given, const std::string& id, const std::string& name) {
    if (!isDeviceId(id))
        throw PairError(PairError::Kind::badDevice, "device.id must be 8\u201364 of A\u2013Z a\u2013z 0\u20139 _ -");
    const std::string stored = cleanName(name);
    std::string token;
    {
        MutexLock guard(lock);
        auto live = liveCodeLocked();
        if (!live || !constantTimeEqual(given, live->code)) {
            throw PairError(PairError::Kind::badCode, "the pairing code is wrong or has expired");
        }
        DevicePermissions kept;
        for (const auto& d : devices) {
            if (d.id == id) kept = d.permissions;
        }
        std::erase_if(devices, [&](const RemoteDevice& d) { return d.id == id; });
        if (devices.size() >= maxDevices) throw PairError(PairError::Kind::full, "too many paired devices");
        token = randomText(crypto, 32);
        devices.push_back(RemoteDevice{id, stored, now(), std::nullopt, hash(token), kept});
        code.reset();
        saveLocked();
    }
    changed();
    return token;
}

std::optional<RemoteDevice> RemoteDevices::authenticate(const std::string& token) {
    const std::string tokenHash = hash(token);
    MutexLock guard(lock);
    for (auto& device : devices) {
        if (!constantTimeEqual(device.tokenHash, tokenHash)) continue;
        double at = now();
        bool save = !device.lastSeenAt || at - *device.lastSeenAt >= seenSaveInterval;
        device.lastSeenAt = at;
        if (save) saveLocked();
        return device;
    }
    return std::nullopt;
}

bool RemoteDevices::remove(const std::string& id) {
    {
        MutexLock guard(lock);
        if (std::erase_if(devices, [&](const RemoteDevice& d) { return d.id == id; }) == 0) return false;
        saveLocked();
    }
    changed();
    return true;
}

bool RemoteDevices::setPermissions(const std::string& id, const DevicePermissions& permissions) {
    {
        MutexLock guard(lock);
        auto device = std::find_if(devices.begin(), devices.end(), [&](const RemoteDevice& d) { return d.id == id; });
        if (device == devices.end()) return false;
        if (device->permissions == permissions) return true;
        device->permissions = permissions;
        saveLocked();
    }
    changed();
    return true;
}

std::vector<RemoteDevice> RemoteDevices::list() {
    MutexLock guard(lock);
    return devices;
}

bool RemoteDevices::isEmpty() {
    MutexLock guard(lock);
    return devices.empty();
}

void RemoteDevices::saveLocked() {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& device : devices) {
        nlohmann::json entry{{"id", device.id},
                             {"name", device.name},
                             {"pairedAt", millis(device.pairedAt)},
                             {"tokenHash", device.tokenHash}};
        if (device.lastSeenAt) entry["lastSeenAt"] = millis(*device.lastSeenAt);
        entry["permissions"] = device.permissions.json();
        list.push_back(entry);
    }
    try {
        writePrivate(nlohmann::json{{"version", 1}, {"devices", list}}.dump(2) + "\n", path);
    } catch (const std::runtime_error& error) {
        log(std::string("remote: ") + error.what());
    }
}

void RemoteDevices::changed() {
    if (onChange) onChange();
}

}  // namespace tovo
