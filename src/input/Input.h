#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "display/Displays.h"
#include "input/InputEvent.h"
#include "input/InputInjector.h"
#include "input/KeyHolds.h"
#include "input/PointerHold.h"
#include "input/ScrollSynth.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The button that went down through the API, the flags in force then, and when; lets later
// drag steps and the release carry the press's modifiers, and holds the button at least
// 15 ms.
class ButtonPress {
public:
    static constexpr double minimumHold = 0.015;

    ButtonPress(MonotonicClock clock, Pause pause) : clock(std::move(clock)), pause(std::move(pause)) {}
    void pressed(uint64_t flags, MouseButton button = MouseButton::left);
    // The press's flags, after pausing until 15 ms have passed since the press.
    uint64_t held();
    // The button pressed last (left when none is).
    MouseButton button();
    void clear();

private:
    const MonotonicClock clock;
    const Pause pause;
    Mutex lock;  // guards flags and pressedAt
    uint64_t flags TOVO_GUARDED_BY(lock) = 0;
    MouseButton pressedButton TOVO_GUARDED_BY(lock) = MouseButton::left;
    std::optional<double> pressedAt TOVO_GUARDED_BY(lock);
};

// Drops moves that arrive out of order: a sequenced move older than the last accepted one
// (by at most 999, within 2 s) is stale.
class PointerMoveGate {
public:
    // True when the move is to be posted; records it then.
    bool admit(int64_t seq, double now);

private:
    Mutex lock;  // guards last
    std::optional<std::pair<int64_t, double>> last TOVO_GUARDED_BY(lock);
};

// One step of typing: a chunk of at most 20 UTF-16 units of text, or a Return key.
struct TypingStep {
    bool isReturn = false;
    std::string text;
    bool operator==(const TypingStep&) const = default;
};

// Mouse, keyboard and scroll input of the API, posted through an injector at places given
// in fractions of a display.
//
// Threads: any; events of concurrent callers interleave, each event's own posts stay in
// order. The injector, displays and holds must outlive this object.
class Input {
public:
    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };
    using Action = std::function<void()>;
    // Asked between steps of a long action: true once the client that asked for it is gone.
    using ClientGone = std::function<bool()>;
    static constexpr size_t maxTypedCharacters = 100000;

    Input(InputInjector& injector, Displays& displays, PointerHolds& holds, MonotonicClock clock = monotonicSeconds,
          Pause pause = sleepFor, std::shared_ptr<TaskQueue> keyQueue = std::make_shared<SerialTaskQueue>("tovo-keys"));
    // Forgets the buttons it holds in the registry, whose releases would call it.
    ~Input();

    // A sequenced move older than the last one posted: it is not to be posted. Throws
    // BadInput for a negative seq.
    bool isStale(const InputEvent& event);
    // Validates `event` and returns the action that posts it; nothing is posted before the
    // action runs. Typing stops between chunks once `clientGone` says so. Throws BadInput
    // or DisplayError.
    Action plan(const InputEvent& event, const ClientGone& clientGone = {});
    // Runs a planned action: stops a gliding scroll before pointer actions, posts, and keeps
    // the pointer-hold registry up to date with the left button.
    void perform(const InputEvent& event, const Action& action);

    // Normalised x, y (clamped into 0…1) on `display` → global desktop pixels; 1.0 lands on
    // the last pixel column or row. Throws DisplayError.
    Point globalPoint(double x, double y, uint32_t display);
    // Releases the button the API holds on `display` at (x, y) of it, with the press's
    // modifiers; where the pointer is when the display is gone.
    void releaseButton(uint32_t display, double x, double y);

    // OR of the named modifiers' flags; throws BadInput "unknown modifier {name}".
    static uint64_t modifierFlags(const std::optional<std::vector<std::string>>& names);
    // How `text` is typed: grapheme clusters collected into chunks, line breaks as Return.
    static std::vector<TypingStep> typingSteps(const std::string& text);

private:
    // Each checks its kind's fields (throwing BadInput) and returns what posts it.
    Action planClick(const InputEvent& event, InputKind kind, uint64_t flags);
    Action planMove(const InputEvent& event);
    Action planDown(const InputEvent& event, uint64_t flags);
    Action planUp(const InputEvent& event);
    Action planDrag(const InputEvent& event, uint64_t flags);
    Action planScroll(const InputEvent& event, uint64_t flags);
    Action planType(const InputEvent& event, const ClientGone& clientGone);
    Action planKey(const InputEvent& event, uint64_t flags);
    Action planKeyHold(const InputEvent& event, uint64_t flags);
    static MouseButton buttonOf(const InputEvent& event);
    Point point(const InputEvent& event);
    void click(MouseButton button, Point at, uint64_t flags, int count);
    void keyPress(Key key, uint64_t flags);
    void type(const std::string& text, const ClientGone& clientGone);

    InputInjector& injector;
    Displays& displays;
    PointerHolds& holds;
    const MonotonicClock clock;
    const Pause pause;
    ButtonPress press;
    PointerMoveGate moves;
    ScrollSynth scroll;
    KeyHolds keys;
};

}  // namespace tovo
