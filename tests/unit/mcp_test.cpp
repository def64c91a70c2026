// The MCP server's protocol and its computer-use tools, against a scripted service.
#include "mcp/ComputerTools.h"
#include "mcp/KeyCombo.h"
#include "mcp/McpSession.h"

#include <gtest/gtest.h>

#include <functional>

namespace tovo::mcp {
namespace {

using nlohmann::json;

// A service that records every request and answers from a handler.
struct ScriptedService {
    std::vector<std::string> requests;  // "METHOD target body"
    std::function<UnixHTTP::Response(const std::string&, const std::string&, const std::string&)> answer;

    ComputerTools::Service client() {
        return [this](const std::string& method, const std::string& target, const std::optional<std::string>& body) {
            requests.push_back(method + " " + target + (body ? " " + *body : ""));
            return answer(method, target, body.value_or(""));
        };
    }
    std::vector<json> inputs() const {
        std::vector<json> out;
        for (const auto& r : requests) {
            if (r.rfind("POST /input ", 0) == 0) out.push_back(json::parse(r.substr(12)));
        }
        return out;
    }
};

UnixHTTP::Response ok(const json& body) { return {200, body.dump(), {}}; }

// One 1920×1080 display (id 7); screenshots come back at the width asked for.
UnixHTTP::Response desktop(const std::string& method, const std::string& target, bool automationActive = true) {
    if (target == "/status") {
        return ok({{"displays", {{{"id", 7}, {"width", 1920}, {"height", 1080}, {"main", true}}}},
                   {"automation", {{"active", automationActive}}}});
    }
    if (target.rfind("/frame?", 0) == 0) {
        int width = std::stoi(target.substr(target.find("maxWidth=") + 9));
        return {200,
                "JPEG",
                {{"x-frame-width", std::to_string(width)}, {"x-frame-height", std::to_string(width * 9 / 16)}}};
    }
    if (target.rfind("/cursor", 0) == 0) return ok({{"display", 7}, {"x", 0.25}, {"y", 0.5}, {"inside", true}});
    if (target.rfind("/settle", 0) == 0) return ok({{"settled", true}, {"waitedMs", 150}});
    if (method == "POST") return ok({{"ok", true}});
    return {404, R"({"error":"unknown endpoint"})", {}};
}

struct Tools {
    ScriptedService service;
    std::vector<int> slept;
    ComputerTools tools{service.client(), [this](int ms) { slept.push_back(ms); }};
    McpSession session{tools, "test"};

    Tools() {
        service.answer = [](const std::string& m, const std::string& t, const std::string&) { return desktop(m, t); };
    }
    json call(const std::string& name, const json& arguments) {
        static int id = 0;
        auto reply = session.handle({{"jsonrpc", "2.0"},
                                     {"id", ++id},
                                     {"method", "tools/call"},
                                     {"params", {{"name", name}, {"arguments", arguments}}}});
        return (*reply)["result"];
    }
    static std::string text(const json& result) { return result["content"].back()["text"]; }
};

TEST(McpSession, NegotiatesTheVersionAndAnswersAsJsonRpc) {
    Tools t;
    auto initialize = [&](const std::string& version) {
        return (*t.session.handle(
            {{"jsonrpc", "2.0"},
             {"id", 1},
             {"method", "initialize"},
             {"params",
              {{"protocolVersion", version}, {"capabilities", json::object()}}}}))["result"]["protocolVersion"];
    };
    EXPECT_EQ(initialize("1999-01-01"), "2025-11-25");
    EXPECT_EQ(initialize("2025-03-26"), "2025-03-26");
    // The oldest version has no output schemas and no structured results.
    json tools = (*t.session.handle({{"jsonrpc", "2.0"}, {"id", "a"}, {"method", "tools/list"}}))["result"]["tools"];
    ASSERT_GT(tools.size(), 10u);
    EXPECT_FALSE(tools[0].contains("outputSchema"));
    EXPECT_FALSE(t.call("cursor_position", json::object()).contains("structuredContent"));
    EXPECT_EQ(initialize("2025-06-18"), "2025-06-18");
    EXPECT_EQ(t.call("cursor_position", json::object())["structuredContent"]["x"], 320);

    EXPECT_EQ(t.session.handle({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}), std::nullopt);
    EXPECT_EQ((*t.session.handle({{"jsonrpc", "2.0"}, {"id", 2}, {"method", "ping"}}))["result"], json::object());
    EXPECT_EQ((*t.session.handle({{"jsonrpc", "2.0"}, {"id", 3}, {"method", "resources/list"}}))["error"]["code"],
              -32601);
    EXPECT_EQ(json::parse(*t.session.handleText("{nope"))["error"]["code"], -32700);
    EXPECT_EQ((*t.session.handle({{"id", 4}, {"method", "ping"}}))["error"]["code"], -32600);
    json batch = *t.session.handle(json::array({{{"jsonrpc", "2.0"}, {"id", 5}, {"method", "ping"}},
                                                {{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}}}));
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0]["id"], 5);
}

TEST(McpSession, ArgumentsOutsideTheSchemaAreRefusedWithWhatToSend) {
    Tools t;
    const std::pair<json, std::string> cases[] = {
        {{{"x", 1}, {"y", 2}, {"z", 3}}, "unknown field \"z\"; the fields are "},
        {{{"x", 1}}, "the arguments need the field \"y\""},
        {{{"x", "1"}, {"y", 2}}, "x must be an integer"},
        {{{"x", 1}, {"y", 2}, {"button", "back"}}, "button must be left, right or middle"},
        {{{"x", 1}, {"y", 2}, {"count", 4}}, "count must be at most 3"},
    };
    for (const auto& [arguments, sentence] : cases) {
        json result = t.call("click", arguments);
        EXPECT_TRUE(result["isError"]) << arguments;
        EXPECT_EQ(Tools::text(result).substr(0, sentence.size()), sentence) << arguments;
    }
    EXPECT_TRUE(t.service.requests.empty());
}

TEST(ComputerTools, ScreenshotPixelsMapOntoTheDisplayAndOutsideIsRefused) {
    Tools t;
    json shot = t.call("screenshot", {{"max_long_edge", 960}});
    ASSERT_FALSE(shot["isError"]) << shot;
    EXPECT_EQ(shot["content"][0]["type"], "image");
    EXPECT_EQ(shot["content"][0]["mimeType"], "image/jpeg");
    EXPECT_EQ(shot["content"][0]["data"], "SlBFRw==");
    EXPECT_EQ(shot["structuredContent"]["width"], 960);
    EXPECT_EQ(shot["structuredContent"]["scale"], 2.0);
    EXPECT_EQ(shot["structuredContent"]["cursor"]["x"], 240);

    // Pixel (480, 270) of the 960-wide picture is display pixel (961, 541): the one under its centre.
    t.service.requests.clear();
    ASSERT_FALSE(t.call(
        "click", {{"x", 480}, {"y", 270}, {"button", "middle"}, {"count", 3}, {"modifiers", {"super"}}})["isError"]);
    json click = t.service.inputs().at(0);
    EXPECT_DOUBLE_EQ(click["x"].get<double>(), 961.0 / 1920);
    EXPECT_DOUBLE_EQ(click["y"].get<double>(), 541.0 / 1080);
    EXPECT_EQ(click["button"], "middle");
    EXPECT_EQ(click["count"], 3);
    EXPECT_EQ(click["modifiers"], json::array({"cmd"}));

    json outside = t.call("move", {{"x", 960}, {"y", 0}});
    EXPECT_TRUE(outside["isError"]);
    EXPECT_EQ(
        Tools::text(outside),
        "the point (960, 0) is outside the screenshot, which is 960×540; send x from 0 to 959 and y from 0 to 539");
    EXPECT_TRUE(t.call("drag", {{"path", {{0, 0}}}})["isError"]);  // one point is no path

    // Scrolling: wheel clicks at 40 pixels each, positive dy down.
    t.service.requests.clear();
    t.call("scroll", {{"x", 10}, {"y", 10}, {"direction", "up"}, {"amount", 2}});
    EXPECT_EQ(t.service.inputs().at(0)["dy"], -80.0);

    // An action with screenshot_after settles, then looks again at the size last asked for.
    t.service.requests.clear();
    json after = t.call("key", {{"keys", "Return"}, {"screenshot_after", true}});
    EXPECT_EQ(after["content"][0]["type"], "image");
    EXPECT_EQ(after["structuredContent"]["screenshot"]["width"], 960);
    ASSERT_EQ(t.service.requests.size(), 4u);
    EXPECT_EQ(t.service.requests[1].substr(0, 12), "GET /settle?");
}

TEST(ComputerTools, KeysAreXNamesAndHoldsAreReleased) {
    EXPECT_EQ(KeyCombo::parse("ctrl+shift+t").modifiers, (std::vector<std::string>{"ctrl", "shift"}));
    EXPECT_EQ(KeyCombo::parse("Delete").key, "forwarddelete");
    EXPECT_EQ(KeyCombo::parse("BackSpace").key, "backspace");
    EXPECT_EQ(KeyCombo::parse("Page_Up").key, "pageup");
    EXPECT_EQ(KeyCombo::parse("KP_5").key, "kp_5");
    EXPECT_EQ(KeyCombo::parse("super").key, std::nullopt);
    EXPECT_EQ(KeyCombo::parse("A").modifiers, std::vector<std::string>{"shift"});
    EXPECT_THROW(KeyCombo::parse("ctrl++"), std::invalid_argument);  // "+" is shift+equal
    EXPECT_THROW(KeyCombo::parse("Hyper_L"), std::invalid_argument);
    EXPECT_THROW(KeyCombo::parse("t+ctrl"), std::invalid_argument);

    Tools t;
    EXPECT_EQ(Tools::text(t.call("key", {{"keys", "ctrl"}})),
              "\"ctrl\" names only modifiers; add a key (\"ctrl+c\") or hold them with hold_key");
    t.call("key", {{"keys", "alt+F4"}, {"repeat", 2}});
    ASSERT_EQ(t.service.inputs().size(), 2u);
    EXPECT_EQ(t.service.inputs()[1], (json{{"type", "key"}, {"key", "f4"}, {"modifiers", {"alt"}}}));
    t.service.requests.clear();
    t.call("hold_key", {{"keys", "shift"}, {"duration_ms", 700}});
    EXPECT_EQ(t.service.inputs(), (std::vector<json>{{{"type", "keyDown"}, {"modifiers", {"shift"}}},
                                                     {{"type", "keyUp"}, {"modifiers", {"shift"}}}}));
    EXPECT_EQ(t.slept, std::vector<int>{700});
}

TEST(ComputerTools, ADragNeverLeavesTheButtonDownAndEscStopsEveryAction) {
    Tools t;
    int inputs = 0;
    t.service.answer = [&](const std::string& m, const std::string& target, const std::string&) {
        if (target == "/input" && ++inputs == 3)
            return UnixHTTP::Response{409, R"({"error":"controlled elsewhere"})", {}};
        return desktop(m, target);
    };
    json drag = t.call("drag", {{"path", {{0, 0}, {10, 10}, {20, 20}}}});
    EXPECT_TRUE(drag["isError"]);
    EXPECT_EQ(Tools::text(drag), "controlled elsewhere");
    EXPECT_EQ(t.service.inputs().back()["type"], "up");

    bool active = true;
    t.service.answer = [&](const std::string& m, const std::string& target, const std::string&) {
        return desktop(m, target, active);
    };
    EXPECT_FALSE(t.call("automation", {{"active", true}, {"label", "Agent"}})["isError"]);
    EXPECT_FALSE(t.call("type", {{"text", "a"}})["isError"]);
    active = false;  // the person pressed Esc
    for (const auto& [tool, arguments] : std::vector<std::pair<std::string, json>>{
             {"type", {{"text", "a"}}}, {"click", {{"x", 1}, {"y", 1}}}, {"mouse_up", json::object()}}) {
        json refused = t.call(tool, arguments);
        EXPECT_TRUE(refused["isError"]) << tool;
        EXPECT_EQ(Tools::text(refused).substr(0, 43), "stopped by the person at the computer (Esc)") << tool;
    }
    EXPECT_FALSE(t.call("screenshot", json::object())["isError"]) << "looking is no action";
    EXPECT_FALSE(t.call("automation", {{"active", true}})["isError"]);
    active = true;
    EXPECT_FALSE(t.call("type", {{"text", "a"}})["isError"]);
}

}  // namespace
}  // namespace tovo::mcp
