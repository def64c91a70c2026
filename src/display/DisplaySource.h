#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovo {

// One monitor as the desktop reports it, in desktop pixels (top-left origin).
struct MonitorRecord {
    uint32_t id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool primary = false;
    std::optional<std::string> name;  // the screen's own name, when it has one
    std::string kind = "external";    // "builtin" for a laptop panel
};

// The desktop's monitors and their power state. Callable from any thread; each call asks
// the desktop afresh.
class DisplaySource {
public:
    virtual ~DisplaySource() = default;

    // The active monitors in the desktop's order; empty when the desktop cannot be reached.
    virtual std::vector<MonitorRecord> monitors() = 0;
    // The displays are powered down (screen saver power management not "on").
    virtual bool asleep() = 0;
    // Declares user activity so that sleeping displays power up.
    virtual void declareUserActivity() = 0;
};

}  // namespace tovo
