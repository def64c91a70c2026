#include "input/InputEvent.h"

#include "base/BadInput.h"
#include "base/Json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>

namespace tovo {
namespace {

[[noreturn]] void invalid(const std::string& what) { throw BadInput("invalid JSON body: " + what); }

std::optional<double> number(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_number()) invalid(std::string(key) + " must be a number");
    return it->get<double>();
}

std::optional<int64_t> integer(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (it->is_number_integer()) {
        if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
            invalid(std::string(key) + " does not fit in 64 bits");
        }
        return it->get<int64_t>();
    }
    if (it->is_number_float()) {
        double value = it->get<double>();
        if (std::floor(value) == value && std::fabs(value) < 9.2e18) return static_cast<int64_t>(value);
    }
    invalid(std::string(key) + " must be an integer");
}

std::optional<std::string> string(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) invalid(std::string(key) + " must be a string");
    return it->get<std::string>();
}

const std::map<std::string, InputKind, std::less<>>& kinds() {
    static const std::map<std::string, InputKind, std::less<>> table = {
        {"click", InputKind::click},
        {"doubleClick", InputKind::doubleClick},
        {"rightClick", InputKind::rightClick},
        {"down", InputKind::down},
        {"up", InputKind::up},
        {"move", InputKind::move},
        {"drag", InputKind::drag},
        {"scroll", InputKind::scroll},
        {"type", InputKind::type},
        {"key", InputKind::key},
        {"keyDown", InputKind::keyDown},
        {"keyUp", InputKind::keyUp},
    };
    return table;
}

}  // namespace

bool InputEvent::isPointerAction() const {
    switch (kind.value_or(InputKind::key)) {
    case InputKind::click:
    case InputKind::doubleClick:
    case InputKind::rightClick:
    case InputKind::down:
    case InputKind::move:
    case InputKind::drag: return true;
    default: return false;
    }
}

std::optional<std::pair<double, double>> InputEvent::pointerAfter() const {
    if (!kind || *kind == InputKind::type || *kind == InputKind::key || *kind == InputKind::keyDown ||
        *kind == InputKind::keyUp) {
        return std::nullopt;
    }
    if (!x || !y || !std::isfinite(*x) || !std::isfinite(*y)) return std::nullopt;
    double px = *x, py = *y;
    if (*kind == InputKind::drag) {
        if (!dx || !dy || !std::isfinite(*dx) || !std::isfinite(*dy)) return std::nullopt;
        px += *dx;
        py += *dy;
    }
    return std::pair{std::clamp(px, 0.0, 1.0), std::clamp(py, 0.0, 1.0)};
}

InputEvent InputEvent::decode(const std::string& body) {
    std::optional<nlohmann::json> parsed = parseJson(body);
    if (!parsed) invalid("the body is not JSON");
    const nlohmann::json& object = *parsed;
    if (!object.is_object()) invalid("the body must be a JSON object");
    InputEvent event;
    auto type = string(object, "type");
    if (!type) invalid("type is missing");
    event.type = *type;
    if (auto known = kinds().find(*type); known != kinds().end()) event.kind = known->second;
    event.display = integer(object, "display");
    event.x = number(object, "x");
    event.y = number(object, "y");
    event.dx = number(object, "dx");
    event.dy = number(object, "dy");
    event.vx = number(object, "vx");
    event.vy = number(object, "vy");
    event.text = string(object, "text");
    event.key = string(object, "key");
    event.button = string(object, "button");
    event.phase = string(object, "phase");
    event.seq = integer(object, "seq");
    event.count = integer(object, "count");
    if (auto it = object.find("modifiers"); it != object.end() && !it->is_null()) {
        if (!it->is_array()) invalid("modifiers must be an array of strings");
        std::vector<std::string> names;
        for (const auto& entry : *it) {
            if (!entry.is_string()) invalid("modifiers must be an array of strings");
            names.push_back(entry.get<std::string>());
        }
        event.modifiers = std::move(names);
    }
    return event;
}

}  // namespace tovo
