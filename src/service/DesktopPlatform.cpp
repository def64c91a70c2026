#include "service/DesktopPlatform.h"

#include <algorithm>

namespace tovo {

std::vector<std::string> desktopPlatforms() { return {"x11"}; }

DesktopPlatformChoice chooseDesktopPlatform(const std::optional<std::string>& requested) {
    const auto known = desktopPlatforms();
    if (!requested) return {known.front(), {}};
    if (std::find(known.begin(), known.end(), *requested) != known.end()) return {*requested, {}};
    std::string list;
    for (const auto& name : known) list += (list.empty() ? "" : ", ") + name;
    return {std::nullopt, "unknown backend " + *requested + " (this build has " + list + ")"};
}

}  // namespace tovo
