#pragma once

#include "base/Mutex.h"
#include "base/TaskQueue.h"
#include "overlay/AutomationOverlay.h"
#include "overlay/EscapeTap.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tovo {

enum class AutomationEffect { installTap, removeTap, showBorder, hideBorder, emitAbort, emitStop };

// Whether a program says it is driving the desktop, under which label, and whether the
// Escape key can stop it.
struct AutomationCore {
    bool active = false;
    std::string label;
    bool esc = false;         // the Escape tap is installed and working
    bool stopButton = false;  // the banner has a Stop button (where Escape cannot be watched)

    // The state change a request asks for, and what has to happen for it.
    std::vector<AutomationEffect> set(bool active, const std::string& label);
    // {"active", "esc"} plus "label" when there is one and `withLabel`, and "stopButton"
    // where the banner has one.
    nlohmann::json json(bool withLabel = true) const;
    bool operator==(const AutomationCore&) const = default;
};

// The automation state of the service and its effects on screen: the banner while active,
// the Escape key that stops it, and the abort line for the event feeds.
//
// Threads: any. `lock` guards `core` only; effects run outside it, so the tap's thread and
// the overlay never wait for a request. The overlay and tap must outlive this object.
class Automation {
public:
    struct Request {
        bool active = false;
        std::string label;
    };

    static const std::string abortLine;      // {"type":"abort","reason":"esc"} and a line feed
    static const std::string stopAbortLine;  // {"type":"abort","reason":"stop"}: the banner's Stop button
    static constexpr size_t maxLabel = 40;

    // Parses a request body. Throws BadInput with the caller's text.
    static Request parse(const std::string& body);
    // The label as shown: control characters made spaces, runs of spaces collapsed, the ends
    // trimmed, the first 40 characters kept.
    static std::string cleanLabel(const std::string& label);

    // `escapes` runs the work of an Escape press off the tap's thread; `postEvent` adds a
    // line to the event feeds (none: no feeds to tell).
    Automation(AutomationOverlay& overlay, EscapeTap& tap, std::unique_ptr<TaskQueue> escapes,
               std::function<void(const std::string&)> postEvent, bool chinese);
    ~Automation();

    // Applies a request; returns the state after it.
    AutomationCore set(bool active, const std::string& label);
    AutomationCore core() const;

private:
    void run(const std::vector<AutomationEffect>& effects);
    // Ends automation for the user's Escape press or Stop button.
    void stop(bool button);

    AutomationOverlay& overlay;
    EscapeTap& tap;
    const std::function<void(const std::string&)> postEvent;
    const bool chinese;

    mutable Mutex lock;  // guards state
    AutomationCore state TOVO_GUARDED_BY(lock);
    Mutex effectsLock;  // keeps the effects of one change together, in order
    // Last, so that it ends first: a pending Escape never runs on a half-destroyed object.
    const std::unique_ptr<TaskQueue> escapes;
};

}  // namespace tovo
