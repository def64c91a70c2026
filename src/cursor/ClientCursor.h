#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace tovo {

// What a client that draws the pointer itself draws: where (normalised 0…1 on the display),
// whether the pointer is on this display, and which shape.
struct ClientCursor {
    double x = 0;
    double y = 0;
    bool visible = false;
    int64_t shapeId = 0;
    bool operator==(const ClientCursor&) const = default;
};

// A cursor shape: a PNG drawn scaled to `width` × `height` with its hot spot at the cursor's
// position; sizes and hot spot in fractions of the display's width (x) and height (y).
struct ClientCursorShape {
    int64_t id = 0;
    std::string png;
    double hotX = 0, hotY = 0, width = 0, height = 0;
};

// The pointer as the desktop shows it: `key` identifies the image; sizes in pixels.
struct SystemCursorImage {
    uint64_t key = 0;
    std::string png;
    double hotX = 0, hotY = 0, width = 0, height = 0;
};

// Where a stream reads the client-drawn cursor. Thread-safe.
class CursorFeed {
public:
    virtual ~CursorFeed() = default;
    // The cursor now, and its shape when known.
    virtual std::pair<ClientCursor, std::optional<ClientCursorShape>> current() = 0;
};

// The body of one cursor part: {"x", "y", "visible", "shapeId"} and, with a shape,
// "shape": {"id", "png" (base64), "hotX", "hotY", "width", "height"}; keys sorted.
std::string cursorPartBody(const ClientCursor& cursor, const ClientCursorShape* shape);

}  // namespace tovo
