#pragma once

#include "http/UnixHTTPClient.h"
#include "mcp/ToolBox.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tovo::mcp {

// The computer-use tools, answered through the service's HTTP API (never its code).
// Coordinates are pixels of the latest screenshot of a display, origin top-left; before any
// screenshot, of the picture a default screenshot would have.
//
// Threads: one call at a time (an MCP session's).
class ComputerTools final : public ToolBox {
public:
    // One request to the service: method, target (path and query), JSON body if any.
    using Service = std::function<UnixHTTP::Response(const std::string& method, const std::string& target,
                                                     const std::optional<std::string>& body)>;
    using Sleep = std::function<void(int milliseconds)>;

    static constexpr int defaultLongEdge = 1280;
    static constexpr int largestLongEdge = 1568;
    static constexpr int pixelsPerWheelClick = 40;  // the API's scroll distance of one click
    static constexpr int longestKeyHoldMs = 10000;  // the service releases a key idle that long

    ComputerTools(Service service, Sleep sleep);

    const nlohmann::json& definitions() const override { return tools; }
    ToolOutcome call(const std::string& name, const nlohmann::json& arguments) override;

private:
    // The latest screenshot's geometry on one display.
    struct Shot {
        int width = 0, height = 0;                // picture pixels
        int displayWidth = 0, displayHeight = 0;  // display pixels
        int longEdge = defaultLongEdge;           // as asked, for the screenshots actions take after
    };
    struct Point {
        double x = 0, y = 0;  // fractions of the display
    };

    ToolOutcome screenshot(const nlohmann::json& arguments);
    ToolOutcome zoom(const nlohmann::json& arguments);
    ToolOutcome click(const nlohmann::json& arguments);
    ToolOutcome move(const nlohmann::json& arguments);
    ToolOutcome button(const nlohmann::json& arguments, bool down);
    ToolOutcome drag(const nlohmann::json& arguments);
    ToolOutcome scroll(const nlohmann::json& arguments);
    ToolOutcome type(const nlohmann::json& arguments);
    ToolOutcome key(const nlohmann::json& arguments);
    ToolOutcome holdKey(const nlohmann::json& arguments);
    ToolOutcome cursorPosition(const nlohmann::json& arguments);
    ToolOutcome waitForSettle(const nlohmann::json& arguments);
    ToolOutcome windows(const nlohmann::json& arguments);
    ToolOutcome elements(const nlohmann::json& arguments);
    ToolOutcome elementAction(const nlohmann::json& arguments, const std::string& route);
    // The focused app's front-most window; throws ToolRefusal when there is none.
    int64_t focusedWindow();
    ToolOutcome clipboardRead(const nlohmann::json& arguments);
    ToolOutcome clipboardWrite(const nlohmann::json& arguments);
    ToolOutcome automation(const nlohmann::json& arguments);

    // The display an action names (default the main one), and its latest screenshot's
    // geometry. Throws ToolRefusal.
    uint32_t displayOf(const nlohmann::json& arguments);
    Shot shotOf(uint32_t display);
    // Screenshot pixels → display fractions; refuses a point outside the picture.
    Point toDisplay(uint32_t display, const nlohmann::json& x, const nlohmann::json& y, const std::string& what);
    nlohmann::json cursorIn(uint32_t display);
    // Posts one /input event; throws ToolRefusal with the service's reason.
    void input(nlohmann::json event);
    // The service's JSON answer to a GET; throws ToolRefusal for a failure.
    nlohmann::json getJson(const std::string& target);
    nlohmann::json refreshDisplays();
    // After an action: a settle and a screenshot when asked for.
    ToolOutcome finish(const nlohmann::json& arguments, nlohmann::json structured);
    void refuseWhenStopped();

    Service service;
    Sleep sleep;
    nlohmann::json tools;
    std::map<uint32_t, Shot> shots;
    nlohmann::json displays;  // /status "displays", as last read
    bool automationStarted = false;
    // What each ref of the latest element lists names, checked again by the service.
    struct ElementRef {
        int64_t window = 0;
        int index = 0;
        std::string role;
        nlohmann::json title;  // null: untitled
    };
    std::map<std::string, ElementRef> refs;
};

}  // namespace tovo::mcp
