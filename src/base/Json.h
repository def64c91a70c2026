#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace tovo {

// How deep request bodies may nest arrays and objects.
inline constexpr int maxJsonDepth = 64;

// Parses `text` as one JSON value. No value when it is not JSON, or when arrays and objects
// nest deeper than `maxDepth`: the depth is measured before anything is built, so a body of
// brackets costs its own bytes and no more.
std::optional<nlohmann::json> parseJson(std::string_view text, int maxDepth = maxJsonDepth);

}  // namespace tovo
