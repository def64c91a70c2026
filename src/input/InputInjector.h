#pragma once

#include "input/Keys.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tovo {

// Modifier flags of input events (the values of the API's event flags).
namespace ModifierFlags {
inline constexpr uint64_t command = 0x100000;
inline constexpr uint64_t shift = 0x20000;
inline constexpr uint64_t option = 0x80000;
inline constexpr uint64_t control = 0x40000;
}  // namespace ModifierFlags

enum class MouseButton { left, right, middle };

// Posts synthetic input to the desktop. Coordinates are global desktop pixels. Callable
// from any thread; events from concurrent callers interleave but each call is posted whole
// and in order.
class InputInjector {
public:
    virtual ~InputInjector() = default;

    // Holds exactly the modifier keys `flags` names (pressing and releasing the difference);
    // events posted afterwards carry them. 0 releases every modifier this injector holds.
    virtual void setModifiers(uint64_t flags) = 0;
    virtual void moveTo(double x, double y) = 0;
    virtual void button(MouseButton button, bool down) = 0;
    virtual void key(Key key, bool down) = 0;
    // Types the characters of `text` (UTF-8) as key presses, without modifiers.
    virtual void typeText(const std::string& text) = 0;
    // Turns the wheel: positive `clicks` scroll content up (or left), negative down (or right).
    virtual void wheel(int verticalClicks, int horizontalClicks) = 0;
};

}  // namespace tovo
