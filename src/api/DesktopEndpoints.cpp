// GET /windows, /hit, /app/windows, /app/ax and /focus: the window catalog and the
// accessibility reads.
#include "api/Endpoints.h"
#include "api/Query.h"
#include "base/Text.h"
#include "capture/HiddenApps.h"
#include "cursor/PointerTracker.h"
#include "desktop/AXSummary.h"
#include "desktop/AppWindows.h"
#include "desktop/WindowCatalog.h"
#include "http/HTTPError.h"

namespace tovo::Endpoints {

void windows(const Deps& deps, HTTPRequest& request, Connection& connection) {
    std::optional<uint32_t> display;
    if (auto asked = request.integer("display")) display = deps.desktop.displays.resolve(asked);
    WindowCatalog catalog = WindowCatalog::now(deps.desktop.windows, deps.desktop.displays);
    std::optional<AppRef> focused;
    if (deps.desktop.session.canInjectInput()) focused = focusedApp(catalog, deps.desktop.windows);
    connection.json(200, catalog.json(display, focused));
}

void cursor(const Deps& deps, HTTPRequest& request, Connection& connection) {
    if (!deps.cursor.probe) throw HTTPError(503, "the pointer cannot be read on this desktop");
    std::optional<PointerProbe::Point> at = deps.cursor.probe->location();
    if (!at) throw HTTPError(503, "the pointer cannot be read now");
    // The display asked for, else the one the pointer is on (else the main one).
    std::optional<DisplayInfo> on;
    for (const DisplayInfo& display : deps.desktop.displays.active()) {
        if (at->x >= display.x && at->x < display.x + display.width && at->y >= display.y &&
            at->y < display.y + display.height) {
            on = display;
        }
    }
    auto asked = request.integer("display");
    DisplayInfo display = asked || !on ? deps.desktop.displays.require(deps.desktop.displays.resolve(asked)) : *on;
    const bool inside = on && on->id == display.id;
    // Fractions of the display, as /input takes them; outside 0…1 when the pointer is elsewhere.
    connection.json(200, {{"display", display.id},
                          {"x", (at->x - display.x) / display.width},
                          {"y", (at->y - display.y) / display.height},
                          {"inside", inside}});
}

void hit(const Deps& deps, HTTPRequest& request, Connection& connection) {
    double x = Query::unit(request, "x");
    double y = Query::unit(request, "y");
    uint32_t display = deps.desktop.displays.resolve(request.integer("display"));
    auto found = WindowCatalog::now(deps.desktop.windows, deps.desktop.displays).hit(display, x, y);
    if (!found) {
        connection.json(200, {{"app", nullptr}, {"layer", nullptr}});
        return;
    }
    connection.json(200, {{"app", toJson(found->first)}, {"layer", found->second}});
}

void appWindows(const Deps& deps, HTTPRequest& request, Connection& connection) {
    std::string bundleId(trimmed(Query::value(request, "bundleId").value_or("")));
    if (bundleId.empty()) throw HTTPError(400, "bundleId is required");
    connection.json(200, AppWindows::list(bundleId, deps.desktop.windows, deps.desktop.displays));
}

void appAX(const Deps& deps, HTTPRequest& request, Connection& connection) {
    int max = Query::clamped(request, "max", AXSummary::defaultMax, 1, AXSummary::maxMax);
    if (!deps.desktop.session.canInjectInput()) throw HTTPError(403, noInputText);
    auto asked = request.integer("window");
    if (!asked) throw HTTPError(400, "window is required");
    WindowRecord window =
        AppWindows::find(deps.desktop.windows, *asked, HiddenApps::parse(Query::value(request, "hide")));
    nlohmann::json summary = AXSummary::ofWindow(window, *asked, deps.desktop.accessibility, max);
    // Where the elements' window is, in fractions of the display holding its centre.
    const nlohmann::json frame = summary["frame"];
    const double cx = frame["x"].get<double>() + frame["w"].get<double>() / 2;
    const double cy = frame["y"].get<double>() + frame["h"].get<double>() / 2;
    summary.erase("frame");
    for (const DisplayInfo& d : deps.desktop.displays.active()) {
        if (cx < d.x || cy < d.y || cx >= d.x + d.width || cy >= d.y + d.height) continue;
        summary["frame"] = {{"display", d.id},
                            {"x", (frame["x"].get<double>() - d.x) / d.width},
                            {"y", (frame["y"].get<double>() - d.y) / d.height},
                            {"w", frame["w"].get<double>() / d.width},
                            {"h", frame["h"].get<double>() / d.height}};
    }
    connection.json(200, summary);
}

namespace {

// POST /app/ax/press, /app/ax/focus and /app/ax/value with {"window", "element" (its "i"),
// "role", "title" (as listed; absent for an untitled element), "value" (for /value)}.
void axAction(const Deps& deps, HTTPRequest& request, Connection& connection, AXAction action) {
    if (!deps.desktop.session.canInjectInput()) throw HTTPError(403, noInputText);
    nlohmann::json body = Query::jsonBody(request);
    auto integer = [&](const char* key) {
        if (!body.contains(key) || !body[key].is_number_integer()) {
            throw HTTPError(400, std::string(key) + " must be an integer");
        }
        return body[key].get<int64_t>();
    };
    const int64_t window = integer("window");
    AXSummary::ElementRef ref;
    const int64_t element = integer("element");
    if (element < 1 || element > AXSummary::maxMax) throw HTTPError(400, "element must be an \"i\" from /app/ax");
    ref.index = static_cast<int>(element);
    if (!body.contains("role") || !body["role"].is_string()) throw HTTPError(400, "role must be the element's role");
    ref.role = body["role"];
    if (body.contains("title") && !body["title"].is_null()) {
        if (!body["title"].is_string()) throw HTTPError(400, "title must be a string");
        ref.title = body["title"].get<std::string>();
    }
    std::string value;
    if (action == AXAction::setValue) {
        if (!body.contains("value") || !body["value"].is_string()) throw HTTPError(400, "value must be a string");
        value = body["value"];
    }
    WindowRecord record = AppWindows::find(deps.desktop.windows, window, HiddenApps::parse(std::nullopt));
    AXSummary::act(record, window, deps.desktop.accessibility, ref, action, value);
    connection.json(200, {{"ok", true}});
}

}  // namespace

void axPress(const Deps& deps, HTTPRequest& request, Connection& connection) {
    axAction(deps, request, connection, AXAction::press);
}
void axFocus(const Deps& deps, HTTPRequest& request, Connection& connection) {
    axAction(deps, request, connection, AXAction::focus);
}
void axValue(const Deps& deps, HTTPRequest& request, Connection& connection) {
    axAction(deps, request, connection, AXAction::setValue);
}

void focus(const Deps& deps, HTTPRequest& request, Connection& connection) {
    request.integer("display");  // read for its validation only
    if (!deps.desktop.session.canInjectInput()) {
        connection.json(200, {{"editable", false}, {"role", nullptr}});
        return;
    }
    connection.json(200, FocusProbe::now(deps.desktop.windows, deps.desktop.displays, deps.desktop.accessibility));
}

}  // namespace tovo::Endpoints
