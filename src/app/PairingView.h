#pragma once

#include "app/ServiceStatus.h"
#include "app/Texts.h"

#include <optional>
#include <set>
#include <string>

namespace tovo {

// What the pairing window shows for the latest remote-access answer. `before` holds the
// devices paired when the window opened, so that only a new one counts as paired.
struct PairingView {
    enum class Button { cancel, done, close, newCode };
    std::string title;
    std::string detail;
    std::optional<std::string> qr;  // the pairing URL to draw
    bool check = false;             // the "paired" mark instead of a code
    Button button = Button::cancel;
    std::string buttonTitle;

    struct Progress {
        std::set<std::string> before;
        bool paired = false;
    };
    // The view for `status` (none: no answer) at `now` (seconds since 1970). Once a new
    // device was seen it stays "Paired" (no further view: none is returned).
    static std::optional<PairingView> render(const std::optional<RemoteStatus>& status, Progress& progress, double now,
                                             const Texts& L);
};

}  // namespace tovo
