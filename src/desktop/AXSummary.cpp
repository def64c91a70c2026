#include "desktop/AXSummary.h"

#include "base/Log.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "desktop/WindowCatalog.h"
#include "desktop/WindowError.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>

namespace tovo {
namespace {

const std::set<std::string> actionableRoles = {
    "AXButton",   "AXTextField",   "AXTextArea",   "AXComboBox", "AXSearchField",        "AXLink",    "AXRadioButton",
    "AXCheckBox", "AXPopUpButton", "AXMenuButton", "AXTab",      "AXDisclosureTriangle", "AXMenuItem"};
const std::set<std::string> pressableRoles = {"AXButton",      "AXLink",     "AXMenuButton", "AXPopUpButton",
                                              "AXRadioButton", "AXCheckBox", "AXMenuItem",   "AXTab"};
const std::set<std::string> textRoles = {"AXTextField", "AXTextArea", "AXComboBox"};

// The first `count` characters (code points) of UTF-8 text.
std::string firstCharacters(const std::string& text, size_t count) { return std::string(utf8Prefix(text, count)); }

}  // namespace

std::optional<std::string> AXNodeInfo::label() const {
    for (const auto* candidate : {&title, &description, &placeholder}) {
        if (!*candidate) continue;
        std::string text(trimmed(**candidate));
        if (!text.empty()) return firstCharacters(text, 200);
    }
    return std::nullopt;
}

namespace AXSummary {

Result collect(const AXElement& window, AXElementSource& source, const Rect& bounds, int max, int depthLimit,
               const std::function<bool()>& expired) {
    struct Entry {
        AXElement element;
        int depth;
        Rect clip;
        bool insidePressable;
    };
    Result result;
    std::vector<Entry> stack{{window, 0, bounds, false}};
    while (!stack.empty()) {
        if (static_cast<int>(result.elements.size()) >= max || expired()) {
            result.truncated = true;
            return result;
        }
        Entry entry = std::move(stack.back());
        stack.pop_back();
        auto info = source.info(entry.element);
        if (!info) continue;

        if (entry.depth >= 1 && info->role) {
            const std::string& role = *info->role;
            bool list = actionableRoles.count(role) || ((role == "AXRow" || role == "AXCell") && info->selectable) ||
                        (role == "AXStaticText" && !entry.insidePressable && info->label());
            if (list && info->frame && bounds.area() > 0) {
                Rect r = info->frame->intersection(entry.clip).intersection(bounds);
                if (r.w >= 1 && r.h >= 1) {
                    AXSummaryElement element;
                    element.i = static_cast<int>(result.elements.size()) + 1;
                    element.role = role;
                    element.subrole = info->subrole;
                    element.title = info->label();
                    if (info->value) element.value = firstCharacters(*info->value, 200);
                    element.rect =
                        Rect{(r.x - bounds.x) / bounds.w, (r.y - bounds.y) / bounds.h, r.w / bounds.w, r.h / bounds.h};
                    element.enabled = info->enabled;
                    element.focused = info->focused;
                    result.elements.push_back(std::move(element));
                    result.listed.push_back(entry.element);
                }
            }
        }

        if (entry.depth >= depthLimit) continue;
        Rect clip = entry.clip;
        if (info->role == "AXScrollArea" && info->frame) {
            clip = clip.intersection(*info->frame);
            if (clip.area() <= 0) continue;
        }
        bool inside = entry.insidePressable || (info->role && pressableRoles.count(*info->role));
        auto children = source.children(entry.element);
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back({*it, entry.depth + 1, clip, inside});
        }
    }
    return result;
}

std::optional<int> focusedIndex(const Result& result, AXElementSource& source, const AXElement& appFocused) {
    for (const auto& element : result.elements) {
        if (element.focused) return element.i;
    }
    if (!appFocused) return std::nullopt;
    for (size_t k = 0; k < result.listed.size(); ++k) {
        if (source.same(result.listed[k], appFocused)) return static_cast<int>(k) + 1;
    }
    return std::nullopt;
}

nlohmann::json elementJson(const AXSummaryElement& e) {
    nlohmann::json object{{"i", e.i},
                          {"role", e.role},
                          {"x", round4(e.rect.x)},
                          {"y", round4(e.rect.y)},
                          {"w", round4(e.rect.w)},
                          {"h", round4(e.rect.h)},
                          {"enabled", e.enabled},
                          {"focused", e.focused}};
    if (e.subrole) object["subrole"] = *e.subrole;
    if (e.title) object["title"] = *e.title;
    if (e.value) object["value"] = *e.value;
    return object;
}

}  // namespace AXSummary

namespace AXWindowMatch {

std::optional<size_t> best(const Rect& target, const std::vector<Rect>& candidates) {
    std::optional<size_t> found;
    double bestSum = 0;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const Rect& c = candidates[k];
        double dx = std::fabs(c.x - target.x), dy = std::fabs(c.y - target.y);
        double dw = std::fabs(c.w - target.w), dh = std::fabs(c.h - target.h);
        if (dx > 4 || dy > 4 || dw > 4 || dh > 4) continue;
        double sum = dx + dy + dw + dh;
        if (!found || sum < bestSum) {
            found = k;
            bestSum = sum;
        }
    }
    return found;
}

std::optional<size_t> bySize(const Rect& target, const std::vector<Rect>& candidates) {
    std::optional<size_t> found;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const Rect& c = candidates[k];
        if (c.x != 0 || c.y != 0 || std::fabs(c.w - target.w) > 4 || std::fabs(c.h - target.h) > 4) continue;
        if (found) return std::nullopt;  // two of that size: nothing tells them apart
        found = k;
    }
    return found;
}

}  // namespace AXWindowMatch

namespace FocusProbe {

bool isEditable(const std::optional<std::string>& role, const std::optional<std::string>& subrole,
                std::optional<bool> enabled, bool valueSettable, bool hasSelectedRange) {
    if (enabled && !*enabled) return false;
    if (role && textRoles.count(*role)) return true;
    if (subrole == "AXSearchField" || subrole == "AXSecureTextField") return true;
    return valueSettable && hasSelectedRange;
}

}  // namespace FocusProbe
}  // namespace tovo

namespace tovo {
namespace {

std::string describe(const Rect& r) {
    char text[96];
    std::snprintf(text, sizeof text, "%.0f,%.0f %.0f\u00d7%.0f", r.x, r.y, r.w, r.h);
    return text;
}

}  // namespace

namespace AXSummary {

// The accessibility window that is `window`. Throws WindowError.
AXWindowInfo matchedWindow(const WindowRecord& window, int64_t askedId, Accessibility& ax) {
    const std::string id = std::to_string(askedId);
    auto found = ax.windows(window.pid);
    if (!found) {
        throw WindowError(
            WindowError::Kind::noAccessibleWindow,
            "window " + id +
                " belongs to an app with no accessibility tree on the service's D-Bus "
                "session (it runs in another session, or its toolkit exposes none); the picture still works");
    }
    const std::vector<AXWindowInfo>& windows = *found;
    std::vector<Rect> frames;
    for (const auto& w : windows) frames.push_back(w.frame);
    // Toolkits report either the window manager's frame or the window's own area.
    auto match = AXWindowMatch::best(window.bounds, frames);
    if (!match) match = AXWindowMatch::best(window.content, frames);
    if (!match) match = AXWindowMatch::bySize(window.content, frames);
    if (!match) match = AXWindowMatch::bySize(window.bounds, frames);
    if (!match) {
        std::string candidates;
        for (const auto& f : frames) candidates += (candidates.empty() ? "" : "; ") + describe(f);
        log("ax: window " + id + " at " + describe(window.bounds) + " matches none of " +
            std::to_string(frames.size()) + " AX windows [" + candidates + "]");
        throw WindowError(WindowError::Kind::noAccessibleWindow,
                          "window " + id +
                              " has no accessible window right now: the screen is locked or the window is not on the "
                              "current workspace (the app answers no window elements); the picture still works");
    }
    const AXWindowInfo& matched = windows[*match];
    if (matched.minimized) throw WindowError(WindowError::Kind::minimized, "window " + id + " is minimized");
    return matched;
}

nlohmann::json ofWindow(const WindowRecord& window, int64_t askedId, Accessibility& ax, int max) {
    const AXWindowInfo matched = matchedWindow(window, askedId, ax);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    Result result = collect(matched.element, ax, matched.frame, max, maxDepth,
                            [&] { return std::chrono::steady_clock::now() >= deadline; });
    auto focused = focusedIndex(result, ax, ax.focusedElement(window.pid));
    nlohmann::json elements = nlohmann::json::array();
    for (const auto& e : result.elements) elements.push_back(elementJson(e));
    return {{"app", toJson(AppRef{window.pid, window.bundleId, window.name})},
            {"window", askedId},
            {"focused", focused ? nlohmann::json(*focused) : nlohmann::json()},
            {"truncated", result.truncated},
            {"frame", {{"x", matched.frame.x}, {"y", matched.frame.y}, {"w", matched.frame.w}, {"h", matched.frame.h}}},
            {"elements", elements}};
}

void act(const WindowRecord& window, int64_t askedId, Accessibility& ax, const ElementRef& ref, AXAction action,
         const std::string& value) {
    const AXWindowInfo matched = matchedWindow(window, askedId, ax);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    // The same walk as the list, so that an entry's index names the same element.
    Result result = collect(matched.element, ax, matched.frame, maxMax, maxDepth,
                            [&] { return std::chrono::steady_clock::now() >= deadline; });
    const std::string what = "element " + std::to_string(ref.index) + " of window " + std::to_string(askedId);
    // Entries count from 1.
    if (ref.index < 1 || static_cast<size_t>(ref.index) > result.elements.size()) {
        throw WindowError(WindowError::Kind::staleElement, what + " is gone; list the elements again");
    }
    const size_t at = static_cast<size_t>(ref.index) - 1;
    const AXSummaryElement& entry = result.elements[at];
    if (entry.role != ref.role || entry.title != ref.title) {
        throw WindowError(WindowError::Kind::staleElement, what + " is now " + entry.role +
                                                               (entry.title ? " \"" + *entry.title + "\"" : "") +
                                                               ", not the one asked for; list the elements again");
    }
    std::string failure = ax.perform(result.listed[at], action, value);
    if (!failure.empty()) throw WindowError(WindowError::Kind::actionFailed, what + ": " + failure);
}

}  // namespace AXSummary

namespace FocusProbe {

nlohmann::json now(WindowSystem& windows, Displays& displays, Accessibility& ax) {
    nlohmann::json none{{"editable", false}, {"role", nullptr}};
    auto pid = windows.activePid();
    if (!pid) {
        for (const auto& record : WindowCatalog::now(windows, displays).records()) {
            if (record.layer == WindowLevel::normal && record.pid != ::getpid()) {
                pid = record.pid;
                break;
            }
        }
    }
    if (!pid) return none;
    auto info = ax.focusInfo(*pid);
    if (!info) return none;
    return {
        {"editable", isEditable(info->role, info->subrole, info->enabled, info->valueSettable, info->hasSelectedRange)},
        {"role", info->role ? nlohmann::json(*info->role) : nlohmann::json()}};
}

}  // namespace FocusProbe
}  // namespace tovo
