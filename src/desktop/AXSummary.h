#pragma once

#include "platform/WindowSystem.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// An accessibility element, opaque to the walk; its source knows what it is.
using AXElement = std::shared_ptr<const void>;

// What is read of one element.
struct AXNodeInfo {
    std::optional<std::string> role, subrole, title, description, placeholder;
    std::optional<Rect> frame;  // global desktop points
    bool enabled = true;
    bool focused = false;
    bool selectable = false;

    // The first of title, description and placeholder that is not blank, trimmed and cut to
    // 200 characters.
    std::optional<std::string> label() const;
};

// Where the walk reads elements from: the platform's accessibility API, or a fake.
class AXElementSource {
public:
    virtual ~AXElementSource() = default;
    // No value when the element cannot be read.
    virtual std::optional<AXNodeInfo> info(const AXElement& element) = 0;
    // At most 400 children, in document order.
    virtual std::vector<AXElement> children(const AXElement& element) = 0;
    // Whether two handles name the same element.
    virtual bool same(const AXElement& a, const AXElement& b) = 0;
};

struct AXSummaryElement {
    int i = 0;
    std::string role;
    std::optional<std::string> subrole;
    std::optional<std::string> title;
    Rect rect;  // normalised to the window
    bool enabled = true;
    bool focused = false;
};

namespace AXSummary {

inline constexpr int defaultMax = 60, maxMax = 200, maxDepth = 15;

struct Result {
    std::vector<AXSummaryElement> elements;
    bool truncated = false;
    std::vector<AXElement> listed;  // the element of each entry, in order
};

// The interesting elements under `window` (buttons, fields, links, selectable rows, labels
// outside pressable elements, …), depth first, clipped by scroll areas and the window,
// at most `max` of them, no deeper than `depth`, until `expired` says stop.
Result collect(const AXElement& window, AXElementSource& source, const Rect& windowBounds, int max, int depth,
               const std::function<bool()>& expired);

// The `i` of the focused entry: the first flagged as focused, else the entry that is the
// app's focused element.
std::optional<int> focusedIndex(const Result& result, AXElementSource& source, const AXElement& appFocused);

nlohmann::json elementJson(const AXSummaryElement& element);

}  // namespace AXSummary

namespace AXWindowMatch {
// The candidate within 4 points of `target` in x, y, width and height, the closest in sum
// of differences (the first on a tie).
std::optional<size_t> best(const Rect& target, const std::vector<Rect>& candidates);
}  // namespace AXWindowMatch

namespace FocusProbe {
// Whether an element takes text.
bool isEditable(const std::optional<std::string>& role, const std::optional<std::string>& subrole,
                std::optional<bool> enabled, bool valueSettable, bool hasSelectedRange);
// Browsers whose accessibility must be switched on with the enhanced-interface switch.
bool needsEnhancedInterface(const std::string& bundleId);
}  // namespace FocusProbe

}  // namespace tovo
