#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo::ServerIdentity {

inline constexpr const char* app = "TovoControl";
inline constexpr int api = 1;  // version of the HTTP API

// The release version the build was given, or "dev".
std::string version();

// Every build carries its version in its own bytes as this prefix, the version and a line
// feed, so that an update's version can be read from the signed file itself.
inline constexpr const char* versionMarkerPrefix = "\nTOVO-CONTROL-VERSION:";
// The version a build's bytes carry (the first well-formed marker), or none.
std::optional<std::string> embeddedVersion(const std::string& executable);
// The source revision the build came from, when known.
std::optional<std::string> build();
// {"app", "version", "api"} plus "build" when known.
nlohmann::json json();

}  // namespace tovo::ServerIdentity
