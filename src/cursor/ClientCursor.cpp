#include "cursor/ClientCursor.h"

#include "base/Text.h"

#include <nlohmann/json.hpp>

namespace tovo {

std::string cursorPartBody(const ClientCursor& cursor, const ClientCursorShape* shape) {
    try {
        nlohmann::json body{{"x", cursor.x}, {"y", cursor.y}, {"visible", cursor.visible}, {"shapeId", cursor.shapeId}};
        if (shape) {
            body["shape"] = {{"id", shape->id},     {"png", base64(shape->png)}, {"hotX", shape->hotX},
                             {"hotY", shape->hotY}, {"width", shape->width},     {"height", shape->height}};
        }
        return body.dump();
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

}  // namespace tovo
