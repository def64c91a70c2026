#include "mcp/ComputerTools.h"

#include "base/Json.h"
#include "base/Text.h"
#include "mcp/KeyCombo.h"
#include "mcp/ToolDefinitions.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <tuple>

namespace tovo::mcp {
namespace {

// A call the tools refuse; the sentence says what to send instead.
struct ToolRefusal {
    std::string sentence;
};

const std::string stoppedByEsc = "stopped by the person at the computer (Esc)";

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::string joined(const nlohmann::json& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ",") + name.get<std::string>();
    return out;
}

std::string serviceError(const UnixHTTP::Response& response) {
    std::optional<nlohmann::json> body = parseJson(response.body);
    if (body && body->is_object() && (*body)["error"].is_string()) return (*body)["error"].get<std::string>();
    return "the service answered " + std::to_string(response.status);
}

// The service's modifier names for the tools' ones.
nlohmann::json serviceModifiers(const nlohmann::json& names) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& name : names) out.push_back(name == "super" ? "cmd" : name.get<std::string>());
    return out;
}

// A picture and what it shows: the JPEG as an image block, the structure as text and as the
// structured result.
ToolOutcome pictureOutcome(const std::string& jpeg, nlohmann::json structured) {
    ToolOutcome outcome;
    outcome.content.push_back({{"type", "image"}, {"data", base64(jpeg)}, {"mimeType", "image/jpeg"}});
    outcome.content.push_back({{"type", "text"}, {"text", structured.dump()}});
    outcome.structured = std::move(structured);
    return outcome;
}

// The size /frame answered with; throws ToolRefusal when the headers are missing.
std::pair<int, int> frameSize(const UnixHTTP::Response& picture) {
    const std::string width = picture.header("x-frame-width"), height = picture.header("x-frame-height");
    if (width.empty() || height.empty() || width.find_first_not_of("0123456789") != std::string::npos ||
        height.find_first_not_of("0123456789") != std::string::npos || width.size() > 6 || height.size() > 6) {
        throw ToolRefusal{"the service's picture came without its size"};
    }
    return {std::stoi(width), std::stoi(height)};
}

// A region [x0, y0, x1, y1] of a width × height screenshot as fractions of it, top-left
// origin; refuses one that is empty or reaches outside.
struct Region {
    double x = 0, y = 0, w = 0, h = 0;
};
Region regionIn(const nlohmann::json& region, int width, int height) {
    const int64_t x0 = region[0], y0 = region[1], x1 = region[2], y1 = region[3];
    if (x1 <= x0 || y1 <= y0 || x1 > width || y1 > height) {
        throw ToolRefusal{"region must be [x0, y0, x1, y1] with x0 < x1 ≤ " + std::to_string(width) +
                          " and y0 < y1 ≤ " + std::to_string(height) + " (pixels of the latest screenshot)"};
    }
    return {double(x0) / width, double(y0) / height, double(x1 - x0) / width, double(y1 - y0) / height};
}

}  // namespace

ComputerTools::ComputerTools(Service service, Sleep sleep)
    : service(std::move(service)), sleep(std::move(sleep)), tools(computerToolDefinitions()) {}

ToolOutcome ComputerTools::call(const std::string& name, const nlohmann::json& arguments) {
    using Handler = ToolOutcome (ComputerTools::*)(const nlohmann::json&);
    static const std::map<std::string, Handler> handlers = {
        {"screenshot", &ComputerTools::screenshot},
        {"zoom", &ComputerTools::zoom},
        {"click", &ComputerTools::click},
        {"move", &ComputerTools::move},
        {"drag", &ComputerTools::drag},
        {"scroll", &ComputerTools::scroll},
        {"type", &ComputerTools::type},
        {"key", &ComputerTools::key},
        {"hold_key", &ComputerTools::holdKey},
        {"cursor_position", &ComputerTools::cursorPosition},
        {"wait_for_settle", &ComputerTools::waitForSettle},
        {"windows", &ComputerTools::windows},
        {"elements", &ComputerTools::elements},
        {"clipboard_read", &ComputerTools::clipboardRead},
        {"clipboard_write", &ComputerTools::clipboardWrite},
        {"automation", &ComputerTools::automation},
    };
    try {
        if (name == "mouse_down" || name == "mouse_up") {
            refuseWhenStopped();
            return button(arguments, name == "mouse_down");
        }
        if (name == "press_element" || name == "focus_element" || name == "set_value") {
            refuseWhenStopped();
            return elementAction(arguments, name == "press_element"   ? "/app/ax/press"
                                            : name == "focus_element" ? "/app/ax/focus"
                                                                      : "/app/ax/value");
        }
        auto handler = handlers.find(name);
        if (handler == handlers.end()) return ToolOutcome::failure("unknown tool " + name);
        const bool acts = std::any_of(tools.begin(), tools.end(), [&](const nlohmann::json& tool) {
            return tool["name"] == name && tool["inputSchema"]["properties"].contains("screenshot_after");
        });
        if (acts || name == "clipboard_write") refuseWhenStopped();
        return (this->*handler->second)(arguments);
    } catch (const ToolRefusal& refusal) {
        return ToolOutcome::failure(refusal.sentence);
    } catch (const UnixHTTP::RequestFailed& failed) {
        return ToolOutcome::failure(std::string("the Tovo Control service did not answer (") + failed.what() +
                                    "); is it running?");
    } catch (const std::exception& unexpected) {
        // An answer of a shape the tools did not expect (a service of another version).
        return ToolOutcome::failure(std::string("the service's answer could not be read: ") + unexpected.what());
    }
}

void ComputerTools::refuseWhenStopped() {
    if (!automationStarted) return;
    nlohmann::json status = getJson("/status");
    if (!status["automation"].is_object() || !status["automation"].value("active", false)) {
        throw ToolRefusal{stoppedByEsc + "; call automation with active true to go on"};
    }
}

nlohmann::json ComputerTools::getJson(const std::string& target) {
    UnixHTTP::Response response = service("GET", target, std::nullopt);
    if (response.status != 200) throw ToolRefusal{serviceError(response)};
    std::optional<nlohmann::json> body = parseJson(response.body);
    if (!body) throw ToolRefusal{"the service's answer to " + target + " is not JSON"};
    return *body;
}

void ComputerTools::input(nlohmann::json event) {
    UnixHTTP::Response response = service("POST", "/input", event.dump());
    if (response.status != 200) throw ToolRefusal{serviceError(response)};
}

nlohmann::json ComputerTools::refreshDisplays() {
    nlohmann::json status = getJson("/status");
    displays = status.value("displays", nlohmann::json::array());
    if (displays.empty()) throw ToolRefusal{status.value("error", std::string("this desktop has no display"))};
    return displays;
}

uint32_t ComputerTools::displayOf(const nlohmann::json& arguments) {
    if (displays.empty()) refreshDisplays();
    auto find = [&](auto predicate) -> const nlohmann::json* {
        for (const auto& d : displays) {
            if (predicate(d)) return &d;
        }
        return nullptr;
    };
    if (!arguments.contains("display")) {
        const nlohmann::json* main = find([](const nlohmann::json& d) { return d.value("main", false); });
        return (main ? *main : displays[0])["id"].get<uint32_t>();
    }
    const int64_t wanted = arguments["display"].get<int64_t>();
    auto matches = [&](const nlohmann::json& d) { return d["id"].get<int64_t>() == wanted; };
    if (!find(matches)) refreshDisplays();
    if (!find(matches)) {
        std::string ids;
        for (const auto& d : displays) ids += (ids.empty() ? "" : ", ") + d["id"].dump();
        throw ToolRefusal{"display " + std::to_string(wanted) + " is not attached; the displays are " + ids};
    }
    return static_cast<uint32_t>(wanted);
}

ComputerTools::Shot ComputerTools::shotOf(uint32_t display) {
    if (auto it = shots.find(display); it != shots.end()) return it->second;
    // No screenshot yet: the picture a default screenshot would be.
    for (const auto& d : displays) {
        if (d["id"].get<uint32_t>() != display) continue;
        Shot shot;
        shot.displayWidth = d["width"].get<int>();
        shot.displayHeight = d["height"].get<int>();
        double factor = std::min(1.0, double(defaultLongEdge) / std::max(shot.displayWidth, shot.displayHeight));
        shot.width = std::max(1, static_cast<int>(std::lround(shot.displayWidth * factor)));
        shot.height = std::max(1, static_cast<int>(std::lround(shot.displayHeight * factor)));
        return shot;
    }
    throw ToolRefusal{"display " + std::to_string(display) + " is not attached"};
}

ComputerTools::Point ComputerTools::toDisplay(uint32_t display, const nlohmann::json& x, const nlohmann::json& y,
                                              const std::string& what) {
    Shot shot = shotOf(display);
    const int64_t px = x.get<int64_t>(), py = y.get<int64_t>();
    if (px < 0 || py < 0 || px >= shot.width || py >= shot.height) {
        throw ToolRefusal{what + " (" + std::to_string(px) + ", " + std::to_string(py) +
                          ") is outside the screenshot, which is " + std::to_string(shot.width) + "×" +
                          std::to_string(shot.height) + "; send x from 0 to " + std::to_string(shot.width - 1) +
                          " and y from 0 to " + std::to_string(shot.height - 1)};
    }
    // The display pixel under the screenshot pixel's centre, as a fraction that lands on it.
    const double scaleX = double(shot.displayWidth) / shot.width, scaleY = double(shot.displayHeight) / shot.height;
    const double dx = std::floor((px + 0.5) * scaleX), dy = std::floor((py + 0.5) * scaleY);
    return {dx / shot.displayWidth, dy / shot.displayHeight};
}

nlohmann::json ComputerTools::cursorIn(uint32_t display) {
    nlohmann::json at = getJson("/cursor?display=" + std::to_string(display));
    Shot shot = shotOf(display);
    if (!at.value("inside", false)) return {{"x", nullptr}, {"y", nullptr}, {"display", display}, {"inside", false}};
    return {{"x", std::min<int64_t>(shot.width - 1, std::llround(std::floor(at["x"].get<double>() * shot.width)))},
            {"y", std::min<int64_t>(shot.height - 1, std::llround(std::floor(at["y"].get<double>() * shot.height)))},
            {"display", display},
            {"inside", true}};
}

ToolOutcome ComputerTools::screenshot(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    Shot shot = shotOf(display);
    const int longEdge = arguments.value("max_long_edge", shot.longEdge);
    const int longest = std::max(shot.displayWidth, shot.displayHeight);
    const int maxWidth =
        std::clamp(static_cast<int>(std::floor(double(longEdge) * shot.displayWidth / longest)), 160, 3840);
    std::string target = "/frame?display=" + std::to_string(display) + "&maxWidth=" + std::to_string(maxWidth) +
                         "&quality=" + std::to_string(arguments.value("quality", 70));
    if (arguments.contains("visible")) target += "&visible=" + percentEncode(joined(arguments["visible"]), ",*");
    if (arguments.contains("hide")) target += "&hide=" + percentEncode(joined(arguments["hide"]), ",*");
    UnixHTTP::Response picture = service("GET", target, std::nullopt);
    if (picture.status != 200) throw ToolRefusal{serviceError(picture)};
    std::tie(shot.width, shot.height) = frameSize(picture);
    shot.longEdge = longEdge;
    shots[display] = shot;
    nlohmann::json structured = {{"width", shot.width},
                                 {"height", shot.height},
                                 {"display", display},
                                 {"display_width", shot.displayWidth},
                                 {"display_height", shot.displayHeight},
                                 {"scale", double(shot.displayWidth) / shot.width},
                                 {"cursor", cursorIn(display)}};
    return pictureOutcome(picture.body, std::move(structured));
}

ToolOutcome ComputerTools::zoom(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    Shot shot = shotOf(display);
    const nlohmann::json& region = arguments["region"];
    const Region r = regionIn(region, shot.width, shot.height);
    // The crop of /frame is in fractions of the picture with y from the bottom edge.
    const double fx = r.x, fw = r.w, fh = r.h, fy = 1.0 - (r.y + r.h);
    const double cropWidth = fw * shot.displayWidth, cropHeight = fh * shot.displayHeight;
    const int longEdge = arguments.value("max_long_edge", largestLongEdge);
    const double fit = std::min(1.0, longEdge / std::max(cropWidth, cropHeight));
    const int maxWidth = std::clamp(static_cast<int>(std::floor(cropWidth * fit)), 160, 3840);
    UnixHTTP::Response picture =
        service("GET",
                "/frame?display=" + std::to_string(display) + "&maxWidth=" + std::to_string(maxWidth) +
                    "&quality=85&crop=" + number(fx) + "," + number(fy) + "," + number(fw) + "," + number(fh),
                std::nullopt);
    if (picture.status != 200) throw ToolRefusal{serviceError(picture)};
    const auto [width, height] = frameSize(picture);
    nlohmann::json structured = {{"width", width},
                                 {"height", height},
                                 {"display", display},
                                 {"display_width", shot.displayWidth},
                                 {"display_height", shot.displayHeight},
                                 {"scale", cropWidth / width},
                                 {"region", region}};
    return pictureOutcome(picture.body, std::move(structured));
}

ToolOutcome ComputerTools::click(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    Point at = toDisplay(display, arguments["x"], arguments["y"], "the click");
    input({{"type", "click"},
           {"display", display},
           {"x", at.x},
           {"y", at.y},
           {"button", arguments.value("button", "left")},
           {"count", arguments.value("count", 1)},
           {"modifiers", serviceModifiers(arguments.value("modifiers", nlohmann::json::array()))}});
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::move(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    Point at = toDisplay(display, arguments["x"], arguments["y"], "the point");
    input({{"type", "move"}, {"display", display}, {"x", at.x}, {"y", at.y}});
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::button(const nlohmann::json& arguments, bool down) {
    const uint32_t display = displayOf(arguments);
    if (arguments.contains("x") != arguments.contains("y")) {
        throw ToolRefusal{"send both x and y, or neither (the pointer's place)"};
    }
    Point at;
    if (arguments.contains("x")) {
        at = toDisplay(display, arguments["x"], arguments["y"], "the point");
    } else {
        nlohmann::json pointer = getJson("/cursor?display=" + std::to_string(display));
        if (!pointer.value("inside", false)) {
            throw ToolRefusal{"the pointer is not on display " + std::to_string(display) + "; send x and y"};
        }
        at = {pointer["x"].get<double>(), pointer["y"].get<double>()};
    }
    input({{"type", down ? "down" : "up"},
           {"display", display},
           {"x", at.x},
           {"y", at.y},
           {"button", arguments.value("button", "left")}});
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::drag(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    std::vector<Point> path;
    for (size_t i = 0; i < arguments["path"].size(); ++i) {
        const nlohmann::json& p = arguments["path"][i];
        path.push_back(toDisplay(display, p[0], p[1], "path[" + std::to_string(i) + "]"));
    }
    const std::string which = arguments.value("button", "left");
    auto event = [&](const char* type, Point p) {
        return nlohmann::json{{"type", type}, {"display", display}, {"x", p.x}, {"y", p.y}, {"button", which}};
    };
    input(event("down", path.front()));
    try {
        for (size_t i = 1; i < path.size(); ++i) {
            sleep(16);
            input({{"type", "move"}, {"display", display}, {"x", path[i].x}, {"y", path[i].y}});
        }
    } catch (...) {
        input(event("up", path.back()));  // never leave the button down
        throw;
    }
    sleep(16);
    input(event("up", path.back()));
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::scroll(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    Point at = toDisplay(display, arguments["x"], arguments["y"], "the scroll");
    const double distance = double(arguments.value("amount", 3)) * pixelsPerWheelClick;
    const std::string direction = arguments["direction"];
    // The API's positive dy scrolls down, positive dx right.
    const double dx = direction == "right" ? distance : direction == "left" ? -distance : 0;
    const double dy = direction == "down" ? distance : direction == "up" ? -distance : 0;
    input({{"type", "scroll"}, {"display", display}, {"x", at.x}, {"y", at.y}, {"dx", dx}, {"dy", dy}});
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::type(const nlohmann::json& arguments) {
    input({{"type", "type"}, {"text", arguments["text"]}});
    return finish(arguments, {{"done", true}});
}

namespace {

KeyCombo comboOf(const std::string& keys) {
    try {
        return KeyCombo::parse(keys);
    } catch (const std::invalid_argument& bad) {
        throw ToolRefusal{bad.what()};
    }
}

}  // namespace

ToolOutcome ComputerTools::key(const nlohmann::json& arguments) {
    KeyCombo combo = comboOf(arguments["keys"]);
    if (!combo.key) {
        throw ToolRefusal{"\"" + arguments["keys"].get<std::string>() +
                          "\" names only modifiers; add a key (\"ctrl+c\") or hold them with hold_key"};
    }
    const int repeat = arguments.value("repeat", 1);
    for (int i = 0; i < repeat; ++i) input({{"type", "key"}, {"key", *combo.key}, {"modifiers", combo.modifiers}});
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::holdKey(const nlohmann::json& arguments) {
    KeyCombo combo = comboOf(arguments["keys"]);
    nlohmann::json event = {{"modifiers", combo.modifiers}};
    if (combo.key) event["key"] = *combo.key;
    event["type"] = "keyDown";
    input(event);
    sleep(arguments["duration_ms"].get<int>());
    event["type"] = "keyUp";
    input(event);
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::cursorPosition(const nlohmann::json& arguments) {
    uint32_t display;
    if (arguments.contains("display")) {
        display = displayOf(arguments);
    } else {
        // The display the pointer is on.
        nlohmann::json pointer = getJson("/cursor");
        display = pointer["display"].get<uint32_t>();
        if (displays.empty()) refreshDisplays();
    }
    return ToolOutcome::success(cursorIn(display));
}

ToolOutcome ComputerTools::waitForSettle(const nlohmann::json& arguments) {
    const uint32_t display = displayOf(arguments);
    std::string target = "/settle?display=" + std::to_string(display) +
                         "&quietMs=" + std::to_string(arguments.value("quiet_ms", 150)) +
                         "&timeoutMs=" + std::to_string(arguments.value("timeout_ms", 3000));
    if (arguments.contains("region")) {
        Shot shot = shotOf(display);
        const Region r = regionIn(arguments["region"], shot.width, shot.height);
        target += "&rect=" + number(r.x) + "," + number(r.y) + "," + number(r.w) + "," + number(r.h);
    }
    nlohmann::json answer = getJson(target);
    return ToolOutcome::success({{"settled", answer["settled"]}, {"waited_ms", answer["waitedMs"]}});
}

ToolOutcome ComputerTools::windows(const nlohmann::json&) {
    // The on-screen windows, front-most first; their apps carry the ids and names.
    nlohmann::json listing = getJson("/windows");
    if (displays.empty()) refreshDisplays();
    std::map<int64_t, nlohmann::json> apps;
    for (const auto& app : listing.value("apps", nlohmann::json::array())) apps[app.value("pid", int64_t(0))] = app;
    const nlohmann::json focused = listing.value("focused", nlohmann::json());
    const int64_t focusedPid = focused.is_object() ? focused.value("pid", int64_t(-1)) : -1;
    nlohmann::json out = nlohmann::json::array();
    bool focusGiven = false;
    for (const auto& window : listing.value("windows", nlohmann::json::array())) {
        const int64_t pid = window.value("pid", int64_t(0));
        const nlohmann::json app = apps.count(pid) ? apps[pid] : nlohmann::json::object();
        const uint32_t display = window.value("display", 0u);
        Shot shot = shotOf(display);
        const double x = window.value("x", 0.0), y = window.value("y", 0.0);
        const double w = window.value("w", 0.0), h = window.value("h", 0.0);
        // The focused app's front-most window is the one with the keyboard.
        const bool isFocused = !focusGiven && pid == focusedPid && window.value("layer", 0) == 0;
        focusGiven = focusGiven || isFocused;
        out.push_back({{"id", window.value("id", nlohmann::json())},
                       {"title", window.value("title", "")},
                       {"app_id", app.value("bundleId", nlohmann::json())},
                       {"app", app.value("name", "")},
                       {"pid", pid},
                       {"focused", isFocused},
                       {"minimised", false},
                       {"display", display},
                       {"rect",
                        {std::lround(x * shot.width), std::lround(y * shot.height), std::lround((x + w) * shot.width),
                         std::lround((y + h) * shot.height)}}});
    }
    return ToolOutcome::success({{"windows", out}});
}

int64_t ComputerTools::focusedWindow() {
    nlohmann::json listing = getJson("/windows");
    const nlohmann::json focused = listing.value("focused", nlohmann::json());
    if (focused.is_object()) {
        for (const auto& window : listing.value("windows", nlohmann::json::array())) {
            if (window.value("pid", int64_t(-2)) == focused.value("pid", int64_t(-1)) &&
                window.value("layer", 0) == 0 && window.contains("id")) {
                return window["id"].get<int64_t>();
            }
        }
    }
    throw ToolRefusal{"no window has the keyboard focus; name one by its id from the windows tool"};
}

ToolOutcome ComputerTools::elements(const nlohmann::json& arguments) {
    const int64_t window = arguments.contains("window") ? arguments["window"].get<int64_t>() : focusedWindow();
    nlohmann::json summary = getJson("/app/ax?window=" + std::to_string(window) + "&max=200");
    const std::string role = lowercased(arguments.value("role", ""));
    const std::string name = lowercased(arguments.value("name", ""));
    const size_t max = arguments.value("max", 50);
    const nlohmann::json frame = summary.value("frame", nlohmann::json());
    std::optional<Shot> shot;
    if (frame.is_object()) shot = shotOf(frame["display"].get<uint32_t>());
    nlohmann::json out = nlohmann::json::array();
    bool more = summary.value("truncated", false);
    for (const auto& element : summary.value("elements", nlohmann::json::array())) {
        const std::string elementRole = element.value("role", "");
        const nlohmann::json title = element.value("title", nlohmann::json());
        const std::string label = title.is_string() ? title.get<std::string>() : "";
        // "button" finds AXButton, "text" AXTextField and AXStaticText.
        if (!role.empty() && lowercased(elementRole).find(role) == std::string::npos) continue;
        if (!name.empty() && lowercased(label).find(name) == std::string::npos) continue;
        if (out.size() == max) {
            more = true;
            break;
        }
        const int index = element["i"].get<int>();
        const std::string ref = std::to_string(window) + "." + std::to_string(index);
        refs[ref] = ElementRef{window, index, elementRole, title};
        nlohmann::json states = nlohmann::json::array();
        if (element.value("enabled", true)) states.push_back("enabled");
        if (element.value("focused", false)) states.push_back("focused");
        nlohmann::json entry = {{"ref", ref},
                                {"role", elementRole.rfind("AX", 0) == 0 ? elementRole.substr(2) : elementRole},
                                {"label", title},
                                {"states", states}};
        if (element.contains("subrole")) entry["subrole"] = element["subrole"];
        if (element.contains("value")) entry["value"] = element["value"];
        if (shot && frame.is_object()) {
            // Element rectangles are fractions of their window; the window's of its display.
            const double fx = frame["x"], fy = frame["y"], fw = frame["w"], fh = frame["h"];
            const double x0 = (fx + element.value("x", 0.0) * fw) * shot->width;
            const double y0 = (fy + element.value("y", 0.0) * fh) * shot->height;
            const double x1 = x0 + element.value("w", 0.0) * fw * shot->width;
            const double y1 = y0 + element.value("h", 0.0) * fh * shot->height;
            entry["rect"] = {std::lround(x0), std::lround(y0), std::lround(x1), std::lround(y1)};
            entry["center"] = {std::lround((x0 + x1) / 2 - 0.5), std::lround((y0 + y1) / 2 - 0.5)};
            entry["display"] = frame["display"];
        }
        out.push_back(std::move(entry));
    }
    return ToolOutcome::success({{"window", window}, {"elements", out}, {"more", more}});
}

ToolOutcome ComputerTools::elementAction(const nlohmann::json& arguments, const std::string& route) {
    const std::string ref = arguments["ref"];
    auto it = refs.find(ref);
    if (it == refs.end()) throw ToolRefusal{"unknown ref \"" + ref + "\"; call elements and use a ref it lists"};
    nlohmann::json body = {{"window", it->second.window}, {"element", it->second.index}, {"role", it->second.role}};
    if (!it->second.title.is_null()) body["title"] = it->second.title;
    if (arguments.contains("value")) body["value"] = arguments["value"];
    UnixHTTP::Response response = service("POST", route, body.dump());
    if (response.status != 200) throw ToolRefusal{serviceError(response)};
    return finish(arguments, {{"done", true}});
}

ToolOutcome ComputerTools::clipboardRead(const nlohmann::json&) {
    nlohmann::json held = getJson("/clipboard");
    nlohmann::json out = {{"kind", held.value("kind", "empty")}};
    for (const char* field : {"text", "preview", "files", "width", "height"}) {
        if (held.contains(field)) out[field] = held[field];
    }
    return ToolOutcome::success(out);
}

ToolOutcome ComputerTools::clipboardWrite(const nlohmann::json& arguments) {
    UnixHTTP::Response response =
        service("POST", "/clipboard", nlohmann::json{{"text", arguments["text"]}, {"source", "agent"}}.dump());
    if (response.status != 200) throw ToolRefusal{serviceError(response)};
    return ToolOutcome::success({{"done", true}});
}

ToolOutcome ComputerTools::automation(const nlohmann::json& arguments) {
    nlohmann::json body = {{"active", arguments["active"]}};
    if (arguments.contains("label")) body["label"] = arguments["label"];
    UnixHTTP::Response response = service("POST", "/automation", body.dump());
    if (response.status != 200) throw ToolRefusal{serviceError(response)};
    automationStarted = arguments["active"].get<bool>();
    return ToolOutcome::success({{"active", automationStarted}});
}

ToolOutcome ComputerTools::finish(const nlohmann::json& arguments, nlohmann::json structured) {
    if (!arguments.value("screenshot_after", false)) return ToolOutcome::success(std::move(structured));
    const uint32_t display = displayOf(arguments);
    getJson("/settle?display=" + std::to_string(display) + "&quietMs=150&timeoutMs=3000");
    nlohmann::json shotArguments = nlohmann::json::object();
    if (arguments.contains("display")) shotArguments["display"] = display;
    ToolOutcome shot = screenshot(shotArguments);
    structured["screenshot"] = shot.structured;
    shot.content.back() = {{"type", "text"}, {"text", structured.dump()}};
    shot.structured = std::move(structured);
    return shot;
}

}  // namespace tovo::mcp
