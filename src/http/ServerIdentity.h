#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo::ServerIdentity {

inline constexpr const char* app = "TovoControl";
inline constexpr int api = 1;  // version of the HTTP API

// The release version the build was given, or "dev".
std::string version();
// The source revision the build came from, when known.
std::optional<std::string> build();
// {"app", "version", "api"} plus "build" when known.
nlohmann::json json();

}  // namespace tovo::ServerIdentity
