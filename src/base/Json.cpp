#include "base/Json.h"

#include <algorithm>

namespace tovo {
namespace {

// The deepest nesting of arrays and objects in `text`, stopping once it passes `limit`.
// Brackets inside strings do not count; malformed text is left to the parser.
int nestingDepth(std::string_view text, int limit) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) break;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<nlohmann::json> parseJson(std::string_view text, int maxDepth) {
    if (nestingDepth(text, maxDepth) > maxDepth) return std::nullopt;
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace tovo
