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
    // The browser link to draw beside it, its caption, and the certificate's fingerprint in
    // the short form the page shows ("AB12 CD34 EF56 7890").
    std::optional<std::string> webQr;
    std::string webCaption;
    std::string fingerprint;
    bool check = false;  // the "paired" mark instead of a code
    Button button = Button::cancel;
    std::string buttonTitle;

    struct Progress {
        std::set<std::string> before;
        bool paired = false;
    };
    // The view for `status` (none: no answer) at `now` (seconds since 1970). Once a new
    // device was seen it stays "Paired" (no further view: none is returned).
    // The first 16 hex digits of the link's "fp", in groups of four, upper case.
    static std::string shortFingerprint(const std::string& webUrl);
    static std::optional<PairingView> render(const std::optional<RemoteStatus>& status, Progress& progress, double now,
                                             const Texts& L);
};

}  // namespace tovo
