#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovo::Keys {

// The virtual key code of a key name ("a", "return", "pageup", "f5", …), exactly as named
// (lower case); no value for an unknown name.
std::optional<uint16_t> code(std::string_view name);

// Looks a name up as the API does: lower-cased, then again without underscores.
std::optional<uint16_t> lookup(const std::string& name);

inline constexpr uint16_t returnKey = 36;
inline constexpr uint16_t textKey = 0;  // the key that carries typed text

}  // namespace tovo::Keys
