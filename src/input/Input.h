#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"
#include "input/InputEvent.h"
#include "platform/InputInjector.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The flags in force when the left button went down through the API, and when; lets later
// drag steps and the release carry the press's modifiers, and holds the button at least
// 15 ms.
class CGButtonState {
public:
    static CGButtonState& shared();
    static constexpr double minimumHold = 0.015;

    void pressed(uint64_t flags);
    // The press's flags, after sleeping until 15 ms have passed since the press.
    uint64_t held();
    void clear();

private:
    std::mutex lock;  // guards flags and pressedAt
    uint64_t flags = 0;
    std::optional<double> pressedAt;
};

// Drops moves that arrive out of order: a sequenced move older than the last accepted one
// (by at most 999, within 2 s) is stale.
class PointerMoveGate {
public:
    static PointerMoveGate& shared();
    // True when the move is to be posted; records it then.
    bool admit(int64_t seq, double now);

private:
    std::mutex lock;  // guards last
    std::optional<std::pair<int64_t, double>> last;
};

namespace Input {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

using Action = std::function<void()>;

// Where an action's events enter: the HID path (what the HTTP API uses) or the session
// path. They differ only in which scroll synthesiser takes scrolls.
enum class EventTap { hid, session };

// Validates `event` and returns the action that posts it; nothing is posted before the
// action runs. Throws HTTPError 400 (or a display error).
Action plan(const InputEvent& event, EventTap tap = EventTap::hid);

// Normalised x, y (clamped into 0…1) on `display` → global desktop pixels; 1.0 lands on the
// last pixel column or row.
Point globalPoint(double x, double y, uint32_t display);
// The event's x and y (both required and finite) on its display.
Point point(const InputEvent& event);
// OR of the named modifiers' flags; throws 400 "unknown modifier {name}".
uint64_t modifierFlags(const std::optional<std::vector<std::string>>& names);

// One step of typing: a chunk of at most 20 UTF-16 units of text, or a Return key.
struct TypingStep {
    bool isReturn = false;
    std::string text;
    bool operator==(const TypingStep&) const = default;
};
// How `text` is typed: grapheme clusters collected into chunks, line breaks as Return.
std::vector<TypingStep> typingSteps(const std::string& text);
// Types `text` (chunks followed by 10 ms, Returns as key presses).
void type(const std::string& text);

// POST /input.
void handle(HTTPRequest& request, Connection& connection);

// The injector every action posts through (the platform's unless replaced).
InputInjector& injector();
// Replaces the injector (tests); null restores the platform's.
void setInjector(std::shared_ptr<InputInjector> replacement);

}  // namespace Input
}  // namespace tovo
