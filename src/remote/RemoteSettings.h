#pragma once

#include "remote/Crypto.h"

#include <cstdint>
#include <string>

namespace tovo {

// What remote access keeps between runs, in {home}/remote.json.
struct RemoteSettings {
    static constexpr uint16_t defaultPort = 47820;
    static constexpr const char* fileName = "remote.json";

    std::string serverId;  // this computer's stable identity towards phones
    uint16_t port = defaultPort;
    bool enabled = true;

    // Reads `path`, key by key: a serverId shorter than 16 characters gets a new random one,
    // a port outside 1…65535 becomes 47820, "enabled" defaults to true.
    static RemoteSettings load(const std::string& path, Crypto& crypto);
    // Writes the file owner-only and atomically; throws std::runtime_error.
    void save(const std::string& path) const;
};

// `n` secure random bytes as base64url text without padding.
std::string randomText(Crypto& crypto, size_t n);

}  // namespace tovo
