#pragma once

#include "desktop/Accessibility.h"
#include "display/Displays.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

struct AXSummaryElement {
    int i = 0;
    std::string role;
    std::optional<std::string> subrole;
    std::optional<std::string> title;
    std::optional<std::string> value;  // an editable field's text
    Rect rect;                         // normalised to the window
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
// Where toolkits report windows relative to themselves (on Wayland a client cannot know
// where its window is, so every window's frame starts at 0, 0): the one candidate at the
// origin within 4 points of `target`'s size; none when there is none or more than one.
std::optional<size_t> bySize(const Rect& target, const std::vector<Rect>& candidates);
}  // namespace AXWindowMatch

namespace FocusProbe {
// Whether an element takes text.
bool isEditable(const std::optional<std::string>& role, const std::optional<std::string>& subrole,
                std::optional<bool> enabled, bool valueSettable, bool hasSelectedRange);
}  // namespace FocusProbe

}  // namespace tovo

namespace tovo {

namespace AXSummary {
// The interesting elements of `window` (asked for as `askedId`), with its app and the focused entry. Throws
// WindowError (noAccessibleWindow, minimized).
nlohmann::json ofWindow(const WindowRecord& window, int64_t askedId, Accessibility& ax, int max);

// What an action names: entry `index` (its "i", from 1) of the window's list, which must still be an element of
// `role` with `title` (none: untitled), so that a list gone stale never acts on another one.
struct ElementRef {
    int index = 0;
    std::string role;
    std::optional<std::string> title;
};
// Does `action` to the element `ref` names. Throws WindowError (notFound… as ofWindow, and
// staleElement, actionFailed).
void act(const WindowRecord& window, int64_t askedId, Accessibility& ax, const ElementRef& ref, AXAction action,
         const std::string& value);
}  // namespace AXSummary

namespace FocusProbe {
// Whether the focused element of the active app (else of the front-most normal window's
// app) takes text, and its role.
nlohmann::json now(WindowSystem& windows, Displays& displays, Accessibility& ax);
}  // namespace FocusProbe

}  // namespace tovo
