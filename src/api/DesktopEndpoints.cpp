// GET /windows, /hit, /app/windows, /app/ax and /focus: the window catalog and the
// accessibility reads.
#include "api/Endpoints.h"

#include "api/Query.h"
#include "base/Text.h"
#include "capture/HiddenApps.h"
#include "desktop/AXSummary.h"
#include "desktop/AppWindows.h"
#include "desktop/WindowCatalog.h"
#include "http/HTTPError.h"

namespace tovo::Endpoints {

void windows(const Deps& deps, HTTPRequest& request, Connection& connection) {
    std::optional<uint32_t> display;
    if (auto asked = request.integer("display")) display = deps.displays.resolve(asked);
    WindowCatalog catalog = WindowCatalog::now(deps.windows, deps.displays);
    std::optional<AppRef> focused;
    if (deps.session.canInjectInput()) focused = focusedApp(catalog, deps.windows);
    connection.json(200, catalog.json(display, focused));
}

void hit(const Deps& deps, HTTPRequest& request, Connection& connection) {
    double x = Query::unit(request, "x");
    double y = Query::unit(request, "y");
    uint32_t display = deps.displays.resolve(request.integer("display"));
    auto found = WindowCatalog::now(deps.windows, deps.displays).hit(display, x, y);
    if (!found) {
        connection.json(200, {{"app", nullptr}, {"layer", nullptr}});
        return;
    }
    connection.json(200, {{"app", toJson(found->first)}, {"layer", found->second}});
}

void appWindows(const Deps& deps, HTTPRequest& request, Connection& connection) {
    std::string bundleId(trimmed(Query::value(request, "bundleId").value_or("")));
    if (bundleId.empty()) throw HTTPError(400, "bundleId is required");
    connection.json(200, AppWindows::list(bundleId, deps.windows, deps.displays));
}

void appAX(const Deps& deps, HTTPRequest& request, Connection& connection) {
    int max = Query::clamped(request, "max", AXSummary::defaultMax, 1, AXSummary::maxMax);
    if (!deps.session.canInjectInput()) throw HTTPError(403, noInputText);
    auto asked = request.integer("window");
    if (!asked) throw HTTPError(400, "window is required");
    WindowRecord window = AppWindows::find(deps.windows, *asked, HiddenApps::parse(Query::value(request, "hide")));
    connection.json(200, AXSummary::ofWindow(window, *asked, deps.accessibility, max));
}

void focus(const Deps& deps, HTTPRequest& request, Connection& connection) {
    request.integer("display");  // read for its validation only
    if (!deps.session.canInjectInput()) {
        connection.json(200, {{"editable", false}, {"role", nullptr}});
        return;
    }
    connection.json(200, FocusProbe::now(deps.windows, deps.displays, deps.accessibility));
}

}  // namespace tovo::Endpoints
