#include "input/Input.h"

#include "base/BadInput.h"
#include "base/Log.h"
#include "base/Mutex.h"
#include "base/Text.h"
#include "base/Utf8.h"
#include "input/TextSegments.h"

#include <algorithm>
#include <cmath>

namespace tovo {

using namespace std::chrono_literals;

void ButtonPress::pressed(uint64_t pressFlags, MouseButton button) {
    MutexLock guard(lock);
    flags = pressFlags;
    pressedButton = button;
    pressedAt = clock();
}

MouseButton ButtonPress::button() {
    MutexLock guard(lock);
    return pressedButton;
}

uint64_t ButtonPress::held() {
    uint64_t result;
    std::optional<double> at;
    {
        MutexLock guard(lock);
        result = flags;
        at = pressedAt;
    }
    if (at) {
        double left = minimumHold - (clock() - *at);
        // Whole milliseconds, rounded up; the epsilon keeps 10.000000001 ms from becoming 11.
        if (left > 0) pause(std::chrono::milliseconds(static_cast<int>(std::ceil(left * 1000 - 1e-6))));
    }
    return result;
}

void ButtonPress::clear() {
    MutexLock guard(lock);
    flags = 0;
    pressedAt.reset();
}

bool PointerMoveGate::admit(int64_t seq, double now) {
    MutexLock guard(lock);
    if (last && now - last->second < 2.0 && seq < last->first && last->first - seq <= 999) return false;
    last = {seq, now};
    return true;
}

namespace {

// Farther than any real scroll gesture: 2,500 wheel clicks.
constexpr double maxScrollPixels = 100000;

void requireScrollDistance(const std::optional<double>& pixels, const char* name) {
    if (pixels && !(std::fabs(*pixels) <= maxScrollPixels)) {
        throw BadInput(std::string(name) + " must be a number of pixels from -100000 to 100000");
    }
}

bool isLineBreak(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Posts with the event's modifiers held, and leaves down afterwards only the modifiers a
// key hold keeps down.
class ModifierScope {
public:
    ModifierScope(InputInjector& injector, uint64_t flags, KeyHolds& holds)
        : injector(injector), kept(holds.modifiers()) {
        injector.setModifiers(flags | kept);
    }
    ~ModifierScope() { injector.setModifiers(kept); }

private:
    InputInjector& injector;
    const uint64_t kept;
};

}  // namespace

Input::Input(InputInjector& injector, Displays& displays, PointerHolds& holds, MonotonicClock clock, Pause pause,
             std::shared_ptr<TaskQueue> keyQueue)
    : injector(injector),
      displays(displays),
      holds(holds),
      clock(clock),
      pause(pause),
      press(clock, pause),
      scroll("hid", injector, clock),
      keys(injector, clock, std::move(keyQueue)) {}

Input::~Input() { holds.forget(PointerHolds::inputRoute); }

void Input::click(MouseButton button, Point at, uint64_t flags, int count) {
    ModifierScope modifiers(injector, flags, keys);
    injector.moveTo(at.x, at.y);
    pause(10ms);
    for (int i = 0; i < count; ++i) {
        if (i > 0) pause(60ms);
        injector.button(button, true);
        pause(15ms);
        injector.button(button, false);
    }
}

void Input::keyPress(Key key, uint64_t flags) {
    ModifierScope modifiers(injector, flags, keys);
    injector.key(key, true);
    pause(5ms);
    injector.key(key, false);
    pause(5ms);
}

Input::Point Input::globalPoint(double x, double y, uint32_t display) {
    DisplayInfo info = displays.require(display);
    double cx = std::clamp(std::isfinite(x) ? x : 0.0, 0.0, 1.0);
    double cy = std::clamp(std::isfinite(y) ? y : 0.0, 0.0, 1.0);
    return {info.x + std::min(cx * info.width, info.width - 1), info.y + std::min(cy * info.height, info.height - 1)};
}

Input::Point Input::point(const InputEvent& event) {
    if (!event.x || !event.y || !std::isfinite(*event.x) || !std::isfinite(*event.y)) {
        throw BadInput(event.type + " needs x and y (0…1)");
    }
    // Fractions of the display, never pixels: a client sending pixels (x: 960) would click a
    // corner and be told it worked. Only rounding error past an edge is let through (clamped).
    constexpr double tolerance = 1e-6;
    for (auto [name, value] : {std::pair{"x", *event.x}, std::pair{"y", *event.y}}) {
        if (value < -tolerance || value > 1 + tolerance) throw BadInput(std::string(name) + " must be a number in 0…1");
    }
    return globalPoint(*event.x, *event.y, displays.resolve(event.display));
}

uint64_t Input::modifierFlags(const std::optional<std::vector<std::string>>& names) {
    uint64_t flags = 0;
    if (!names) return flags;
    for (const auto& name : *names) {
        std::string lower = lowercased(name);
        if (lower == "cmd" || lower == "command") {
            flags |= ModifierFlags::command;
        } else if (lower == "shift") {
            flags |= ModifierFlags::shift;
        } else if (lower == "alt" || lower == "option") {
            flags |= ModifierFlags::option;
        } else if (lower == "ctrl" || lower == "control") {
            flags |= ModifierFlags::control;
        } else {
            throw BadInput("unknown modifier " + name);
        }
    }
    return flags;
}

std::vector<TypingStep> Input::typingSteps(const std::string& text) {
    constexpr size_t chunkUnits = 20;
    std::vector<TypingStep> steps;
    std::string buffer;
    size_t bufferUnits = 0;
    auto flush = [&] {
        if (buffer.empty()) return;
        steps.push_back({false, buffer});
        buffer.clear();
        bufferUnits = 0;
    };
    for (const std::string& character : graphemeClusters(text)) {
        if (isLineBreak(firstScalar(character))) {
            flush();
            steps.push_back({true, ""});
            continue;
        }
        size_t units = utf16Length(character);
        if (!buffer.empty() && bufferUnits + units > chunkUnits) flush();
        buffer += character;
        bufferUnits += units;
    }
    flush();
    return steps;
}

void Input::type(const std::string& text, const ClientGone& clientGone) {
    const std::vector<TypingStep> steps = typingSteps(text);
    for (size_t i = 0; i < steps.size(); ++i) {
        const TypingStep& step = steps[i];
        if (i > 0 && clientGone && clientGone()) {
            log("type: the client went away; stopped after " + std::to_string(i) + " of " +
                std::to_string(steps.size()) + " steps");
            return;
        }
        if (step.isReturn) {
            keyPress(Key::returnKey, 0);
        } else {
            injector.typeText(step.text);
            pause(10ms);
        }
    }
}

bool Input::isStale(const InputEvent& event) {
    if (event.kind != InputKind::move || !event.seq) return false;
    if (*event.seq < 0) throw BadInput("seq must be a non-negative integer");
    return !moves.admit(*event.seq, clock());
}

Input::Action Input::plan(const InputEvent& event, const ClientGone& clientGone) {
    const uint64_t flags = modifierFlags(event.modifiers);
    if (!event.kind) throw BadInput("unknown input type " + event.type);
    switch (*event.kind) {
    case InputKind::click:
    case InputKind::rightClick:
    case InputKind::doubleClick: return planClick(event, *event.kind, flags);
    case InputKind::move: return planMove(event);
    case InputKind::down: return planDown(event, flags);
    case InputKind::up: return planUp(event);
    case InputKind::drag: return planDrag(event, flags);
    case InputKind::scroll: return planScroll(event, flags);
    case InputKind::type: return planType(event, clientGone);
    case InputKind::key: return planKey(event, flags);
    case InputKind::keyDown:
    case InputKind::keyUp: return planKeyHold(event, flags);
    }
    throw BadInput("unknown input type " + event.type);
}

MouseButton Input::buttonOf(const InputEvent& event) {
    if (!event.button || *event.button == "left") return MouseButton::left;
    if (*event.button == "right") return MouseButton::right;
    if (*event.button == "middle") return MouseButton::middle;
    throw BadInput("button must be left, right or middle");
}

Input::Action Input::planClick(const InputEvent& event, InputKind kind, uint64_t flags) {
    Point at = point(event);
    MouseButton button = kind == InputKind::rightClick ? MouseButton::right : buttonOf(event);
    int count = kind == InputKind::doubleClick ? 2 : 1;
    if (kind == InputKind::click && event.count) {
        if (*event.count < 1 || *event.count > 3) throw BadInput("count must be 1, 2 or 3");
        count = static_cast<int>(*event.count);
    }
    return [=, this] { click(button, at, flags, count); };
}

Input::Action Input::planMove(const InputEvent& event) {
    Point at = point(event);
    if (!event.button) return [=, this] { injector.moveTo(at.x, at.y); };
    buttonOf(event);  // a move with a button drags with the button pressed through "down"
    return [=, this] {
        ModifierScope modifiers(injector, press.held(), keys);
        injector.moveTo(at.x, at.y);
    };
}

Input::Action Input::planDown(const InputEvent& event, uint64_t flags) {
    Point at = point(event);
    MouseButton button = buttonOf(event);
    return [=, this] {
        ModifierScope modifiers(injector, flags, keys);
        injector.moveTo(at.x, at.y);
        pause(10ms);
        injector.button(button, true);
        press.pressed(flags, button);
    };
}

Input::Action Input::planUp(const InputEvent& event) {
    point(event);
    std::optional<MouseButton> named;
    if (event.button) named = buttonOf(event);
    return [this, named] {
        MouseButton button = named.value_or(press.button());
        uint64_t held = press.held();
        press.clear();
        ModifierScope modifiers(injector, held, keys);
        injector.button(button, false);
    };
}

Input::Action Input::planDrag(const InputEvent& event, uint64_t flags) {
    uint32_t display = displays.resolve(event.display);
    Point start = point(event);
    if (!event.dx || !event.dy) throw BadInput("drag needs dx and dy");
    Point end = globalPoint(*event.x + *event.dx, *event.y + *event.dy, display);
    MouseButton button = buttonOf(event);
    return [=, this] {
        ModifierScope modifiers(injector, flags, keys);
        injector.moveTo(start.x, start.y);
        pause(10ms);
        injector.button(button, true);
        pause(30ms);
        for (int i = 1; i <= 10; ++i) {
            injector.moveTo(start.x + (end.x - start.x) * i / 10, start.y + (end.y - start.y) * i / 10);
            pause(15ms);
        }
        injector.button(button, false);
    };
}

Input::Action Input::planScroll(const InputEvent& event, uint64_t flags) {
    std::optional<ScrollMotion::Point> at;
    if (event.x || event.y) {
        Point p = point(event);
        at = ScrollMotion::Point{p.x, p.y};
    }
    if (!event.dx && !event.dy) throw BadInput("scroll needs dx and/or dy");
    requireScrollDistance(event.dx, "dx");
    requireScrollDistance(event.dy, "dy");
    if (event.phase && *event.phase != "began" && *event.phase != "changed" && *event.phase != "ended") {
        throw BadInput("phase must be began, changed or ended");
    }
    double dx = event.dx.value_or(0), dy = event.dy.value_or(0);
    auto phase = event.phase;
    auto vx = event.vx, vy = event.vy;
    return [=, this] {
        scroll.submit(dx, dy, phase, vx, vy, at, flags, [this](ScrollMotion::Point p) {
            injector.setModifiers(0);
            injector.moveTo(p.x, p.y);
        });
    };
}

Input::Action Input::planType(const InputEvent& event, const ClientGone& clientGone) {
    if (!event.text || event.text->empty()) throw BadInput("type needs text");
    if (codePointCount(*event.text) > maxTypedCharacters) {
        throw BadInput("text must be at most " + std::to_string(maxTypedCharacters) + " characters");
    }
    std::string text = *event.text;
    return [this, text, clientGone] { this->type(text, clientGone); };
}

Input::Action Input::planKey(const InputEvent& event, uint64_t flags) {
    if (!event.key) throw BadInput("key needs key");
    auto key = Keys::lookup(*event.key);
    if (!key) throw BadInput("unknown key " + *event.key);
    return [=, this] { keyPress(*key, flags); };
}

Input::Action Input::planKeyHold(const InputEvent& event, uint64_t flags) {
    std::optional<Key> key;
    if (event.key) {
        key = Keys::lookup(*event.key);
        if (!key) throw BadInput("unknown key " + *event.key);
    }
    if (!key && flags == 0) throw BadInput(event.type + " needs key and/or modifiers");
    if (event.kind == InputKind::keyDown) return [=, this] { keys.down(key, flags); };
    return [=, this] { keys.up(key, flags); };
}

void Input::perform(const InputEvent& event, const Action& action) {
    // A gliding scroll stops before the pointer acts.
    if (event.isPointerAction()) scroll.interrupt();
    keys.activity();
    action();

    const bool pressing =
        event.kind == InputKind::down || event.kind == InputKind::up || (event.kind == InputKind::move && event.button);
    if (!pressing) return;
    std::optional<uint32_t> display;
    try {
        display = displays.resolve(event.display);
    } catch (const DisplayError&) {}
    if (!display || !event.x || !event.y) return;
    double x = std::clamp(*event.x, 0.0, 1.0), y = std::clamp(*event.y, 0.0, 1.0);
    if (event.kind == InputKind::down) {
        uint32_t on = *display;
        holds.hold(on, PointerHolds::inputRoute, x, y, [this, on](double rx, double ry) { releaseButton(on, rx, ry); });
    } else if (event.kind == InputKind::up) {
        holds.unhold(*display, x, y);
    } else {
        holds.moved(*display, x, y);
    }
}

void Input::releaseButton(uint32_t display, double x, double y) {
    std::optional<Point> at;
    try {
        at = globalPoint(x, y, display);
    } catch (const DisplayError&) {
        // The display is gone; the button still goes up where the pointer is.
    }
    MouseButton button = press.button();
    uint64_t flags = press.held();
    press.clear();
    ModifierScope modifiers(injector, flags, keys);
    if (at) injector.moveTo(at->x, at->y);
    injector.button(button, false);
}

}  // namespace tovo
