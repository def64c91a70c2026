#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// Apps kept out of pictures: bundle ids, exact or ending in "*" for a prefix. The service's
// own pattern is always among them.
struct HiddenApps {
    static constexpr size_t maxItems = 64;
    static inline const std::string ownPattern = "app.tovo.control*";

    std::vector<std::string> patterns{ownPattern};

    // Parses a `hide` query value (comma-separated). Throws BadInput for more than 64
    // items or an item that is not a bundle id.
    static HiddenApps parse(const std::optional<std::string>& text);
    bool hides(const std::optional<std::string>& bundleId) const;
};

}  // namespace tovo
