#include "mcp/ToolDefinitions.h"

namespace tovo::mcp {
namespace {

// Pieces the schemas share, spliced in below.
const nlohmann::json pixel = {{"type", "integer"}, {"minimum", 0}};
const nlohmann::json display = {
    {"type", "integer"}, {"minimum", 0}, {"description", "The display's id from /status (default: the main display)."}};
const nlohmann::json screenshotAfter = {
    {"type", "boolean"},
    {"description", "After the action, wait for the screen to settle and return a screenshot (default false)."}};
const nlohmann::json buttonField = {{"type", "string"}, {"enum", {"left", "right", "middle"}}};

const char* const screenshotOutput = R"({
  "type": "object",
  "properties": {
    "width": {"type": "integer"}, "height": {"type": "integer"}, "display": {"type": "integer"},
    "display_width": {"type": "integer"}, "display_height": {"type": "integer"},
    "scale": {"type": "number", "description": "display pixels per screenshot pixel"},
    "cursor": {"type": ["object", "null"]}
  },
  "required": ["width", "height", "display", "display_width", "display_height", "scale"]
})";

nlohmann::json object(nlohmann::json properties, nlohmann::json required = nlohmann::json::array()) {
    nlohmann::json schema = {
        {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
    if (!required.empty()) schema["required"] = std::move(required);
    return schema;
}

nlohmann::json acting(nlohmann::json properties) {
    properties["screenshot_after"] = screenshotAfter;
    return properties;
}

nlohmann::json tool(const char* name, const char* title, const char* description, nlohmann::json input,
                    nlohmann::json output) {
    // Results may grow keys; only what an agent sends is held to the listed fields.
    output.erase("additionalProperties");
    return {{"name", name},
            {"title", title},
            {"description", description},
            {"inputSchema", std::move(input)},
            {"outputSchema", std::move(output)}};
}

nlohmann::json actionOutput() {
    return object({{"done", {{"type", "boolean"}}}, {"screenshot", nlohmann::json::parse(screenshotOutput)}}, {"done"});
}

const nlohmann::json xField = {{"type", "integer"}, {"description", "Pixels from the screenshot's left edge."}};
const nlohmann::json yField = {{"type", "integer"}, {"description", "Pixels from the screenshot's top edge."}};
const nlohmann::json longEdge = {{"type", "integer"}, {"minimum", 160}, {"maximum", 1568}};

// screenshot and zoom.
void addLookingTools(nlohmann::json& tools) {
    const nlohmann::json appList = {{"type", "array"}, {"items", {{"type", "string"}}}};
    tools.push_back(
        tool("screenshot", "Screenshot",
             "A JPEG of one display, at most max_long_edge pixels on its long edge (default 1280). Later x, y refer "
             "to this picture. visible shows only those apps; hide keeps apps out (app ids from the windows tool).",
             object({{"display", display},
                     {"max_long_edge", longEdge},
                     {"quality", {{"type", "integer"}, {"minimum", 10}, {"maximum", 95}}},
                     {"visible", appList},
                     {"hide", appList}}),
             nlohmann::json::parse(screenshotOutput)));
    tools.push_back(tool("zoom", "Zoom",
                         "A region [x0, y0, x1, y1] of the latest screenshot, at up to the display's full resolution.",
                         object({{"region", {{"type", "array"}, {"items", pixel}, {"minItems", 4}, {"maxItems", 4}}},
                                 {"display", display},
                                 {"max_long_edge", longEdge}},
                                {"region"}),
                         nlohmann::json::parse(screenshotOutput)));
}

// click, move, the buttons, drag and scroll.
void addPointerTools(nlohmann::json& tools) {
    tools.push_back(tool(
        "click", "Click",
        "Clicks at x, y: button left (default), right or middle; count 1 (default), 2 or 3; with "
        "modifiers held (ctrl, shift, alt, super).",
        object(
            acting({{"x", xField},
                    {"y", yField},
                    {"button", buttonField},
                    {"count", {{"type", "integer"}, {"minimum", 1}, {"maximum", 3}}},
                    {"modifiers",
                     {{"type", "array"}, {"items", {{"type", "string"}, {"enum", {"ctrl", "shift", "alt", "super"}}}}}},
                    {"display", display}}),
            {"x", "y"}),
        actionOutput()));
    tools.push_back(tool("move", "Move the pointer", "Moves the pointer to x, y.",
                         object(acting({{"x", xField}, {"y", yField}, {"display", display}}), {"x", "y"}),
                         actionOutput()));
    for (const char* name : {"mouse_down", "mouse_up"}) {
        bool down = std::string(name) == "mouse_down";
        tools.push_back(
            tool(name, down ? "Press a button" : "Release a button",
                 down ? "Presses a button (default left) at x, y, or where the pointer is."
                      : "Releases a button (default left) at x, y, or where the pointer is.",
                 object(acting({{"x", xField}, {"y", yField}, {"button", buttonField}, {"display", display}})),
                 actionOutput()));
    }
    tools.push_back(
        tool("drag", "Drag",
             "Presses a button (default left) at the path's first point, moves through the others and "
             "releases at the last: [[x, y], …], at least two points.",
             object(acting({{"path",
                             {{"type", "array"},
                              {"minItems", 2},
                              {"maxItems", 1000},
                              {"items", {{"type", "array"}, {"items", pixel}, {"minItems", 2}, {"maxItems", 2}}}}},
                            {"button", buttonField},
                            {"display", display}}),
                    {"path"}),
             actionOutput()));
    tools.push_back(tool("scroll", "Scroll",
                         "Turns the wheel at x, y: direction up, down, left or right, amount in wheel clicks "
                         "(default 3).",
                         object(acting({{"x", xField},
                                        {"y", yField},
                                        {"direction", {{"type", "string"}, {"enum", {"up", "down", "left", "right"}}}},
                                        {"amount", {{"type", "integer"}, {"minimum", 1}, {"maximum", 100}}},
                                        {"display", display}}),
                                {"x", "y", "direction"}),
                         actionOutput()));
}

// type, key and hold_key.
void addKeyboardTools(nlohmann::json& tools) {
    tools.push_back(tool("type", "Type text",
                         "Types text (any Unicode; line breaks press Return) into whatever has the keyboard focus.",
                         object(acting({{"text", {{"type", "string"}, {"minLength", 1}}}}), {"text"}), actionOutput()));
    tools.push_back(tool("key", "Press keys",
                         "Presses a key combination, X key names joined by +: \"ctrl+s\", \"Return\", \"alt+F4\", "
                         "\"BackSpace\", \"Delete\" (forward), \"super\", \"KP_5\"; repeat times (default 1).",
                         object(acting({{"keys", {{"type", "string"}, {"minLength", 1}}},
                                        {"repeat", {{"type", "integer"}, {"minimum", 1}, {"maximum", 100}}}}),
                                {"keys"}),
                         actionOutput()));
    tools.push_back(tool("hold_key", "Hold keys",
                         "Holds a key combination down for duration_ms (at most 10000), then releases it.",
                         object(acting({{"keys", {{"type", "string"}, {"minLength", 1}}},
                                        {"duration_ms", {{"type", "integer"}, {"minimum", 1}, {"maximum", 10000}}}}),
                                {"keys", "duration_ms"}),
                         actionOutput()));
}

// the pointer, settling, windows and elements.
void addReadingTools(nlohmann::json& tools) {
    tools.push_back(tool("cursor_position", "Pointer position",
                         "Where the pointer is, in pixels of the latest screenshot of its display.",
                         object({{"display", display}}),
                         object({{"x", {{"type", nlohmann::json::array({"integer", "null"})}}},
                                 {"y", {{"type", nlohmann::json::array({"integer", "null"})}}},
                                 {"display", {{"type", "integer"}}},
                                 {"inside", {{"type", "boolean"}}}},
                                {"display", "inside"})));
    tools.push_back(tool(
        "wait_for_settle", "Wait for the screen to settle",
        "Waits until nothing changed on the display for quiet_ms (default 150; the pointer and "
        "a blinking caret do not count), or timeout_ms passed (default 3000); region [x0, y0, "
        "x1, y1] watches only part of it.",
        object({{"quiet_ms", {{"type", "integer"}, {"minimum", 10}, {"maximum", 10000}}},
                {"timeout_ms", {{"type", "integer"}, {"minimum", 0}, {"maximum", 60000}}},
                {"region", {{"type", "array"}, {"items", pixel}, {"minItems", 4}, {"maxItems", 4}}},
                {"display", display}}),
        object({{"settled", {{"type", "boolean"}}}, {"waited_ms", {{"type", "integer"}}}}, {"settled", "waited_ms"})));
    tools.push_back(tool("windows", "Windows",
                         "The windows on screen, front-most first: id, title, app id, pid, focused, minimised and "
                         "rectangle [x0, y0, x1, y1] in pixels of the latest screenshot of their display.",
                         object(nlohmann::json::object()), object({{"windows", {{"type", "array"}}}}, {"windows"})));
    tools.push_back(tool(
        "elements", "Accessible elements",
        "The pressable, editable and labelled elements of a window (default: the focused window), read "
        "through accessibility: ref, role, label, states, rectangle [x0, y0, x1, y1] and center in screenshot "
        "pixels. role and name filter (\"button\", \"text\"; part of the label); at most max (default 50).",
        object({{"window", {{"type", "integer"}, {"description", "A window id from the windows tool."}}},
                {"focused", {{"type", "boolean"}}},
                {"role", {{"type", "string"}}},
                {"name", {{"type", "string"}}},
                {"max", {{"type", "integer"}, {"minimum", 1}, {"maximum", 200}}}}),
        object({{"window", {{"type", "integer"}}}, {"elements", {{"type", "array"}}}, {"more", {{"type", "boolean"}}}},
               {"window", "elements"})));
}

// acting on elements, the clipboard and the automation banner.
void addActingTools(nlohmann::json& tools) {
    const nlohmann::json ref = {{"type", "string"}, {"minLength", 1}, {"description", "A ref from elements."}};
    tools.push_back(tool("press_element", "Press an element",
                         "Presses an element (its default action: a button's click, a check box's toggle) without "
                         "moving the pointer. A ref whose element changed since it was listed is refused.",
                         object(acting({{"ref", ref}}), {"ref"}), actionOutput()));
    tools.push_back(tool("focus_element", "Focus an element", "Gives an element the keyboard focus.",
                         object(acting({{"ref", ref}}), {"ref"}), actionOutput()));
    tools.push_back(tool("set_value", "Set an element's value",
                         "Replaces the text of an editable element (or sets a slider's number) at once.",
                         object(acting({{"ref", ref}, {"value", {{"type", "string"}}}}), {"ref", "value"}),
                         actionOutput()));
    tools.push_back(tool("clipboard_read", "Read the clipboard", "What the clipboard holds (text in full up to 1 MiB).",
                         object(nlohmann::json::object()),
                         object({{"kind", {{"type", "string"}}}, {"text", {{"type", "string"}}}}, {"kind"})));
    tools.push_back(tool("clipboard_write", "Write the clipboard", "Puts text on the clipboard.",
                         object({{"text", {{"type", "string"}}}}, {"text"}),
                         object({{"done", {{"type", "boolean"}}}})));
    tools.push_back(tool("automation", "Automation banner",
                         "active true shows the person at the computer an orange border and a capsule with label "
                         "while you work; pressing Esc there stops every action until you start it again.",
                         object({{"active", {{"type", "boolean"}}}, {"label", {{"type", "string"}}}}, {"active"}),
                         object({{"active", {{"type", "boolean"}}}}, {"active"})));
}

}  // namespace

nlohmann::json computerToolDefinitions() {
    nlohmann::json tools = nlohmann::json::array();
    addLookingTools(tools);
    addPointerTools(tools);
    addKeyboardTools(tools);
    addReadingTools(tools);
    addActingTools(tools);
    return tools;
}

}  // namespace tovo::mcp
