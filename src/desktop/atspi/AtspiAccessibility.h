#pragma once

#include "desktop/Accessibility.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tovo {

// The accessibility tree over AT-SPI 2 (libatspi).
std::unique_ptr<Accessibility> makeAtspiAccessibility();

// The role string and subrole clients read for an AT-SPI role (an AtspiRole value);
// "AXUnknown" for roles without a counterpart.
std::pair<std::string, std::optional<std::string>> mapAtspiRole(int atspiRole, bool multiLine);

}  // namespace tovo
