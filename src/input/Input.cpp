#include "input/Input.h"

#include "base/Clock.h"
#include "base/PlatformInstance.h"
#include "capture/Displays.h"
#include "http/HTTPError.h"
#include "input/Keys.h"
#include "input/PointerHold.h"
#include "input/ScrollSynth.h"
#include "input/TextSegments.h"
#include "service/ScreenHost.h"
#include "service/ScreenPermissions.h"

#include <algorithm>
#include <cmath>

namespace tovo {

using namespace std::chrono_literals;

CGButtonState& CGButtonState::shared() {
    static CGButtonState* state = new CGButtonState();  // lives for the process
    return *state;
}

void CGButtonState::pressed(uint64_t pressFlags) {
    std::lock_guard<std::mutex> guard(lock);
    flags = pressFlags;
    pressedAt = monotonicSeconds();
}

uint64_t CGButtonState::held() {
    uint64_t result;
    std::optional<double> at;
    {
        std::lock_guard<std::mutex> guard(lock);
        result = flags;
        at = pressedAt;
    }
    if (at) {
        double left = minimumHold - (monotonicSeconds() - *at);
        // Whole milliseconds, rounded up; the epsilon keeps 10.000000001 ms from becoming 11.
        if (left > 0) pauseFor(std::chrono::milliseconds(static_cast<int>(std::ceil(left * 1000 - 1e-6))));
    }
    return result;
}

void CGButtonState::clear() {
    std::lock_guard<std::mutex> guard(lock);
    flags = 0;
    pressedAt.reset();
}

PointerMoveGate& PointerMoveGate::shared() {
    static PointerMoveGate* gate = new PointerMoveGate();  // lives for the process
    return *gate;
}

bool PointerMoveGate::admit(int64_t seq, double now) {
    std::lock_guard<std::mutex> guard(lock);
    if (last && now - last->second < 2.0 && seq < last->first && last->first - seq <= 999) return false;
    last = {seq, now};
    return true;
}

namespace Input {
namespace {

PlatformInstance<InputInjector> injectors;

bool isLineBreak(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Posts with the event's modifiers held, and never leaves a modifier down afterwards.
class ModifierScope {
public:
    explicit ModifierScope(uint64_t flags) { injector().setModifiers(flags); }
    ~ModifierScope() { injector().setModifiers(0); }
};

void click(MouseButton button, Point at, uint64_t flags, int count) {
    ModifierScope modifiers(flags);
    injector().moveTo(at.x, at.y);
    pauseFor(10ms);
    for (int i = 0; i < count; ++i) {
        if (i > 0) pauseFor(60ms);
        injector().button(button, true);
        pauseFor(15ms);
        injector().button(button, false);
    }
}

void keyPress(uint16_t code, uint64_t flags) {
    ModifierScope modifiers(flags);
    injector().key(code, true);
    pauseFor(5ms);
    injector().key(code, false);
    pauseFor(5ms);
}

}  // namespace

InputInjector& injector() { return injectors.get(); }

void setInjector(std::shared_ptr<InputInjector> replacement) { injectors.replace(std::move(replacement)); }

Point globalPoint(double x, double y, uint32_t display) {
    auto info = Displays::info(display);
    if (!info) throw HTTPError(404, "unknown display " + std::to_string(display));
    double cx = std::clamp(std::isfinite(x) ? x : 0.0, 0.0, 1.0);
    double cy = std::clamp(std::isfinite(y) ? y : 0.0, 0.0, 1.0);
    return {info->x + std::min(cx * info->width, info->width - 1), info->y + std::min(cy * info->height, info->height - 1)};
}

Point point(const InputEvent& event) {
    if (!event.x || !event.y || !std::isfinite(*event.x) || !std::isfinite(*event.y)) {
        throw HTTPError(400, event.type + " needs x and y (0…1)");
    }
    return globalPoint(*event.x, *event.y, Displays::resolve(event.display));
}

uint64_t modifierFlags(const std::optional<std::vector<std::string>>& names) {
    uint64_t flags = 0;
    if (!names) return flags;
    for (const auto& name : *names) {
        std::string lower(name);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower == "cmd" || lower == "command") {
            flags |= ModifierFlags::command;
        } else if (lower == "shift") {
            flags |= ModifierFlags::shift;
        } else if (lower == "alt" || lower == "option") {
            flags |= ModifierFlags::option;
        } else if (lower == "ctrl" || lower == "control") {
            flags |= ModifierFlags::control;
        } else {
            throw HTTPError(400, "unknown modifier " + name);
        }
    }
    return flags;
}

std::vector<TypingStep> typingSteps(const std::string& text) {
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

void type(const std::string& text) {
    for (const TypingStep& step : typingSteps(text)) {
        if (step.isReturn) {
            keyPress(Keys::returnKey, 0);
        } else {
            injector().typeText(step.text);
            pauseFor(10ms);
        }
    }
}

Action plan(const InputEvent& event, EventTap tap) {
    const uint64_t flags = modifierFlags(event.modifiers);
    const std::string& type = event.type;
    if (type == "click" || type == "rightClick" || type == "doubleClick") {
        Point at = point(event);
        MouseButton button = type == "rightClick" ? MouseButton::right : MouseButton::left;
        int count = type == "doubleClick" ? 2 : 1;
        return [=] { click(button, at, flags, count); };
    }
    if (type == "move") {
        Point at = point(event);
        if (!event.button) return [=] { injector().moveTo(at.x, at.y); };
        if (*event.button != "left") throw HTTPError(400, "button must be \"left\"");
        return [=] {
            ModifierScope modifiers(CGButtonState::shared().held());
            injector().moveTo(at.x, at.y);
        };
    }
    if (type == "down") {
        Point at = point(event);
        return [=] {
            ModifierScope modifiers(flags);
            injector().moveTo(at.x, at.y);
            pauseFor(10ms);
            injector().button(MouseButton::left, true);
            CGButtonState::shared().pressed(flags);
        };
    }
    if (type == "up") {
        point(event);
        return [] {
            uint64_t held = CGButtonState::shared().held();
            CGButtonState::shared().clear();
            ModifierScope modifiers(held);
            injector().button(MouseButton::left, false);
        };
    }
    if (type == "drag") {
        uint32_t display = Displays::resolve(event.display);
        Point start = point(event);
        if (!event.dx || !event.dy) throw HTTPError(400, "drag needs dx and dy");
        Point end = globalPoint(*event.x + *event.dx, *event.y + *event.dy, display);
        return [=] {
            ModifierScope modifiers(flags);
            injector().moveTo(start.x, start.y);
            pauseFor(10ms);
            injector().button(MouseButton::left, true);
            pauseFor(30ms);
            for (int i = 1; i <= 10; ++i) {
                injector().moveTo(start.x + (end.x - start.x) * i / 10, start.y + (end.y - start.y) * i / 10);
                pauseFor(15ms);
            }
            injector().button(MouseButton::left, false);
        };
    }
    if (type == "scroll") {
        std::optional<ScrollMotion::Point> at;
        if (event.x || event.y) {
            Point p = point(event);
            at = ScrollMotion::Point{p.x, p.y};
        }
        if (!event.dx && !event.dy) throw HTTPError(400, "scroll needs dx and/or dy");
        if (event.phase && *event.phase != "began" && *event.phase != "changed" && *event.phase != "ended") {
            throw HTTPError(400, "phase must be began, changed or ended");
        }
        double dx = event.dx.value_or(0), dy = event.dy.value_or(0);
        auto phase = event.phase;
        auto vx = event.vx, vy = event.vy;
        ScrollSynth* synth = tap == EventTap::hid ? &ScrollSynth::hid() : &ScrollSynth::session();
        return [=] {
            synth->submit(dx, dy, phase, vx, vy, at, flags, [](ScrollMotion::Point p) {
                injector().setModifiers(0);
                injector().moveTo(p.x, p.y);
            });
        };
    }
    if (type == "type") {
        if (!event.text || event.text->empty()) throw HTTPError(400, "type needs text");
        std::string text = *event.text;
        return [text] { Input::type(text); };
    }
    if (type == "key") {
        if (!event.key) throw HTTPError(400, "key needs key");
        auto code = Keys::lookup(*event.key);
        if (!code) throw HTTPError(400, "unknown key " + *event.key);
        uint16_t key = *code;
        return [=] { keyPress(key, flags); };
    }
    throw HTTPError(400, "unknown input type " + type);
}

void handle(HTTPRequest& request, Connection& connection) {
    InputEvent event = InputEvent::decode(request.body);
    // Control arbitration joins here with remote access; every local request is admitted.
    if (event.type == "move" && event.seq) {
        if (*event.seq < 0) throw HTTPError(400, "seq must be a non-negative integer");
        if (!PointerMoveGate::shared().admit(*event.seq, monotonicSeconds())) {
            connection.json(200, {{"ok", true}, {"stale", true}});
            return;
        }
    }
    Action action = plan(event);
    if (!ScreenPermissions::accessibility()) {
        throw HTTPError(403, "Accessibility permission is not granted to " + ScreenHost::appName);
    }
    // Pointer trackers for client-drawn cursors hear of the input here once they exist.
    static const std::string pointerActions[] = {"click", "doubleClick", "rightClick", "down", "move", "drag"};
    if (std::find(std::begin(pointerActions), std::end(pointerActions), event.type) != std::end(pointerActions)) {
        // A gliding scroll stops before the pointer acts.
        ScrollSynth::hid().interrupt();
    }
    action();

    if (event.type == "down" || event.type == "up" || (event.type == "move" && event.button)) {
        std::optional<uint32_t> display;
        try {
            display = Displays::resolve(event.display);
        } catch (const HTTPError&) {
        }
        if (display && event.x && event.y) {
            double x = std::clamp(*event.x, 0.0, 1.0), y = std::clamp(*event.y, 0.0, 1.0);
            if (event.type == "down") {
                PointerHolds::shared().hold(*display, PointerHolds::cgRoute, x, y, PointerHolds::cgRelease(*display));
            } else if (event.type == "up") {
                PointerHolds::shared().unhold(*display, x, y);
            } else {
                PointerHolds::shared().moved(*display, x, y);
            }
        }
    }
    connection.json(200, {{"ok", true}});
}

}  // namespace Input
}  // namespace tovo
