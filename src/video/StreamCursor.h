#pragma once

#include "cursor/ClientCursor.h"

#include <optional>
#include <set>
#include <string>

namespace tovo {

// When a stream with a client-drawn cursor sends a cursor part, and whether the shape's
// image goes with it: a part is due when nothing was sent yet, the cursor moved, showed,
// hid or changed shape, or its shape was not sent yet; parts are at least `minInterval`
// apart. Shape images go once per id (the record starts again after 32 ids).
class StreamCursorPacer {
public:
    explicit StreamCursorPacer(double minInterval) : minInterval(minInterval) {}

    struct Next {
        std::optional<std::string> body;  // a part to send now
        std::optional<double> wakeAt;     // or when one will be due
    };
    // With the feed's cursor and shape at `now` (seconds); a returned body counts as sent.
    Next next(const ClientCursor& cursor, const std::optional<ClientCursorShape>& shape, double now);

private:
    const double minInterval;
    std::optional<ClientCursor> lastSent;
    std::optional<double> lastPartAt;
    std::set<int64_t> sentShapes;
};

}  // namespace tovo
