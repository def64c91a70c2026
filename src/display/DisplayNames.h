#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovo::DisplayNames {

// The monitor name stored in an EDID block (descriptor tag 0xFC), trimmed; none when the
// block is not EDID or holds no name.
std::optional<std::string> fromEDID(const std::vector<uint8_t>& edid);

// The name to show for a screen: its EDID name, else the connector name. An empty name, or
// one in parentheses, counts as none.
std::optional<std::string> choose(const std::optional<std::string>& edidName, std::string_view connectorName);

// "builtin" for a laptop's own panel (eDP, LVDS, DSI connectors), else "external".
std::string kindOf(std::string_view connectorName);

}  // namespace tovo::DisplayNames
