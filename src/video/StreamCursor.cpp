#include "video/StreamCursor.h"

namespace tovo {

StreamCursorPacer::Next StreamCursorPacer::next(const ClientCursor& cursor,
                                                const std::optional<ClientCursorShape>& shape, double now) {
    bool newShape = shape && !sentShapes.count(shape->id);
    if (lastSent && *lastSent == cursor && !newShape) return {};
    if (lastPartAt && now - *lastPartAt < minInterval) return {std::nullopt, *lastPartAt + minInterval};
    if (newShape) {
        if (sentShapes.size() > 31) sentShapes.clear();
        sentShapes.insert(shape->id);
    }
    lastSent = cursor;
    lastPartAt = now;
    return {cursorPartBody(cursor, newShape ? &*shape : nullptr), std::nullopt};
}

}  // namespace tovo
