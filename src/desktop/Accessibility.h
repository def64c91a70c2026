#pragma once

#include "desktop/WindowSystem.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// An accessibility element, opaque to its users; its source knows what it is.
using AXElement = std::shared_ptr<const void>;

// What is read of one element. Roles use the API's names ("AXButton", "AXTextField", …).
struct AXNodeInfo {
    std::optional<std::string> role, subrole, title, description, placeholder;
    // The text of an editable field (never of a secure one), as far as it is read.
    std::optional<std::string> value;
    std::optional<Rect> frame;  // global desktop points
    bool enabled = true;
    bool focused = false;
    bool selectable = false;

    // The first of title, description and placeholder that is not blank, trimmed and cut to
    // 200 characters.
    std::optional<std::string> label() const;
};

// Where a walk reads elements from: the platform's accessibility API, or a fake.
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

// One top-level accessibility window of an app.
struct AXWindowInfo {
    AXElement element;
    Rect frame;
    bool minimized = false;
};

// What decides whether the focused element takes text.
struct AXFocusInfo {
    std::optional<std::string> role, subrole;
    std::optional<bool> enabled;
    bool valueSettable = false;
    bool hasSelectedRange = false;
};

// What can be done to an element: press it (its default action), give it the keyboard focus,
// or set its value (the text of an editable element, else a number).
enum class AXAction { press, focus, setValue };

// The platform's accessibility tree. Every call is bounded by a 0.3 s time-out per
// request; callable from any thread (calls are serialised inside).
class Accessibility : public AXElementSource {
public:
    // Does `action` to `element`; "" when done, else a sentence saying why not ("the element
    // has no action to press").
    virtual std::string perform(const AXElement& element, AXAction action, const std::string& value) {
        (void)element, (void)action, (void)value;
        return "accessibility actions are not available on this desktop";
    }
    // The app's windows; switches the app's accessibility on first. None when the app has no
    // accessibility tree where the service looks (the accessibility bus of its D-Bus session).
    virtual std::optional<std::vector<AXWindowInfo>> windows(int32_t pid) = 0;
    // The app's element with keyboard focus, or null.
    virtual AXElement focusedElement(int32_t pid) = 0;
    // The focused element of the app, described; none without one.
    virtual std::optional<AXFocusInfo> focusInfo(int32_t pid) = 0;
};

}  // namespace tovo
