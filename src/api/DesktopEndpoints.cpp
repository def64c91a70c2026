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
    connection.json(200, AXSummary::ofWindow(window, *asked, deps.desktop.accessibility, max));
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
