#pragma once

#include "base/Mutex.h"
#include "remote/Crypto.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovo {

// What a paired device may do beyond seeing the screen. A device paired before these existed,
// or paired anew, may do everything.
struct DevicePermissions {
    bool control = true;    // take control, then send input
    bool clipboard = true;  // read and write the clipboard
    bool audio = true;      // listen to the computer's sound

    bool operator==(const DevicePermissions&) const = default;
    // {"control", "clipboard", "audio"} as booleans.
    nlohmann::json json() const;
    // Reads the keys `object` has; the others keep their values in `base`.
    static DevicePermissions from(const nlohmann::json& object, DevicePermissions base);
};

// A phone, browser or tool paired with this computer. Only the hash of its token is kept.
struct RemoteDevice {
    std::string id;       // 8–64 of A–Z a–z 0–9 _ -, chosen by the phone
    std::string name;     // at most 64 characters
    double pairedAt = 0;  // wall-clock seconds
    std::optional<double> lastSeenAt;
    std::string tokenHash;  // 64 lower-case hex digits of SHA-256 over the token
    DevicePermissions permissions;

    // {"id", "name", "pairedAt", "lastSeenAt" when set, "permissions"}, times in ms since 1970.
    nlohmann::json json() const;
};

// The single live pairing code: 22 base64url characters, valid for 300 s, used once.
struct PairingCode {
    std::string code;
    double expiresAt = 0;  // wall-clock seconds
};

// Why a pairing was refused.
class PairError : public std::runtime_error {
public:
    enum class Kind { badDevice, badCode, full };
    PairError(Kind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
    Kind kind;
};

// The paired devices of {home}/devices.json, the live pairing code and the tokens' hashes.
//
// Threads: any. `onChange` runs after the lock is released, on the thread that changed
// something.
class RemoteDevices {
public:
    using WallClock = std::function<double()>;
    static constexpr double codeLifetime = 300;
    static constexpr size_t maxDevices = 32;
    static constexpr double seenSaveInterval = 3600;
    static constexpr const char* fileName = "devices.json";

    // Loads `path`; a missing or corrupt file gives no devices. `crypto` must outlive this.
    RemoteDevices(std::string path, Crypto& crypto, WallClock now);

    PairingCode startPairing();
    void stopPairing();
    std::optional<PairingCode> pairingCode();
    // Pairs (or re-pairs) device `id` with the live `code`; returns the new token. Throws
    // PairError. A device paired again keeps the permissions it had.
    std::string pair(const std::string& code, const std::string& id, const std::string& name);
    // The device whose token this is, marked as seen.
    std::optional<RemoteDevice> authenticate(const std::string& token);
    bool remove(const std::string& id);
    // False when no device has that id.
    bool setPermissions(const std::string& id, const DevicePermissions& permissions);
    std::vector<RemoteDevice> list();
    bool isEmpty();

    std::function<void()> onChange;  // set before use

    // The device name as stored: line breaks dropped, trimmed, at most 64 characters, and
    // "iPhone" when nothing is left.
    static std::string cleanName(const std::string& name);

private:
    std::optional<PairingCode> liveCodeLocked() TOVO_REQUIRES(lock);
    void saveLocked() TOVO_REQUIRES(lock);
    void changed();
    std::string hash(const std::string& token);

    const std::string path;
    Crypto& crypto;
    const WallClock now;
    Mutex lock;  // guards everything below
    std::vector<RemoteDevice> devices TOVO_GUARDED_BY(lock);
    std::optional<PairingCode> code TOVO_GUARDED_BY(lock);
};

}  // namespace tovo
