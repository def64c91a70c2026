#include "mcp/McpSession.h"

#include "base/Json.h"
#include "mcp/JsonSchema.h"

namespace tovo::mcp {
namespace {

// JSON-RPC's error codes.
constexpr int parseError = -32700;
constexpr int invalidRequest = -32600;
constexpr int methodNotFound = -32601;
constexpr int invalidParams = -32602;

struct RpcError {
    int code;
    std::string message;
};

nlohmann::json errorReply(const nlohmann::json& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

}  // namespace

ToolOutcome ToolOutcome::failure(const std::string& sentence) {
    ToolOutcome outcome;
    outcome.content.push_back({{"type", "text"}, {"text", sentence}});
    outcome.isError = true;
    return outcome;
}

ToolOutcome ToolOutcome::success(nlohmann::json structured) {
    ToolOutcome outcome;
    outcome.content.push_back({{"type", "text"}, {"text", structured.dump()}});
    outcome.structured = std::move(structured);
    return outcome;
}

McpSession::McpSession(ToolBox& tools, std::string serverVersion)
    : tools(tools), serverVersion(std::move(serverVersion)) {}

std::optional<std::string> McpSession::handleText(const std::string& text) {
    std::optional<nlohmann::json> message = parseJson(text);
    if (!message) return errorReply(nullptr, parseError, "the message is not JSON").dump();
    std::optional<nlohmann::json> reply = handle(*message);
    if (!reply) return std::nullopt;
    return reply->dump();
}

std::optional<nlohmann::json> McpSession::handle(const nlohmann::json& message) {
    if (!message.is_array()) return handleOne(message);
    if (message.empty()) return errorReply(nullptr, invalidRequest, "an empty batch");
    nlohmann::json replies = nlohmann::json::array();
    for (const auto& one : message) {
        if (auto reply = handleOne(one)) replies.push_back(std::move(*reply));
    }
    if (replies.empty()) return std::nullopt;
    return replies;
}

std::optional<nlohmann::json> McpSession::handleOne(const nlohmann::json& message) {
    if (!message.is_object() || message.value("jsonrpc", "") != "2.0") {
        return errorReply(message.is_object() ? message.value("id", nlohmann::json()) : nullptr, invalidRequest,
                          "a JSON-RPC 2.0 message must be an object with \"jsonrpc\": \"2.0\"");
    }
    auto method = message.find("method");
    if (method == message.end()) return std::nullopt;  // a reply to something the server never asks
    const bool notification = !message.contains("id");
    const nlohmann::json id = message.value("id", nlohmann::json());
    if (!method->is_string()) {
        return notification ? std::nullopt : std::optional(errorReply(id, invalidRequest, "method must be a string"));
    }
    if (!id.is_null() && !id.is_string() && !id.is_number_integer()) {
        return errorReply(nullptr, invalidRequest, "id must be a string or an integer");
    }
    const std::string name = *method;
    const nlohmann::json params = message.value("params", nlohmann::json::object());
    if (notification) return std::nullopt;  // notifications/initialized, cancelled, …: nothing to answer
    try {
        if (!params.is_object()) throw RpcError{invalidParams, "params must be an object"};
        nlohmann::json result;
        if (name == "initialize") {
            result = initialize(params);
        } else if (name == "ping") {
            result = nlohmann::json::object();
        } else if (name == "tools/list") {
            result = listTools();
        } else if (name == "tools/call") {
            result = callTool(params);
        } else {
            throw RpcError{methodNotFound, "unknown method " + name};
        }
        return nlohmann::json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
    } catch (const RpcError& error) {
        return errorReply(id, error.code, error.message);
    }
}

nlohmann::json McpSession::initialize(const nlohmann::json& params) {
    const std::string asked = params.value("protocolVersion", "");
    version = versions[0];
    for (const char* known : versions) {
        if (asked == known) version = known;
    }
    return {{"protocolVersion", version},
            {"capabilities", {{"tools", {{"listChanged", false}}}}},
            {"serverInfo", {{"name", "tovo-control"}, {"title", "Tovo Control"}, {"version", serverVersion}}},
            {"instructions",
             "Operate this computer's desktop. Take a screenshot first: every x, y is a pixel of the latest "
             "screenshot of that display (origin top-left). Action tools take screenshot_after to act, wait "
             "for the screen to settle and look again in one call."}};
}

nlohmann::json McpSession::listTools() const {
    nlohmann::json list = nlohmann::json::array();
    // Output schemas and structured results came with 2025-06-18; older clients get neither.
    const bool structured = version != "2025-03-26";
    for (const auto& tool : tools.definitions()) {
        nlohmann::json entry = tool;
        if (!structured) entry.erase("outputSchema");
        if (!structured) entry.erase("title");
        list.push_back(std::move(entry));
    }
    return {{"tools", list}};
}

nlohmann::json McpSession::callTool(const nlohmann::json& params) {
    auto name = params.find("name");
    if (name == params.end() || !name->is_string()) throw RpcError{invalidParams, "tools/call needs a tool name"};
    const nlohmann::json* definition = nullptr;
    for (const auto& tool : tools.definitions()) {
        if (tool["name"] == *name) definition = &tool;
    }
    if (!definition) throw RpcError{invalidParams, "unknown tool " + name->get<std::string>()};
    nlohmann::json arguments = params.value("arguments", nlohmann::json::object());
    ToolOutcome outcome;
    if (auto fault = schemaFault((*definition)["inputSchema"], arguments)) {
        outcome = ToolOutcome::failure(*fault);
    } else {
        outcome = tools.call(*name, arguments);
    }
    nlohmann::json result = {{"content", outcome.content}, {"isError", outcome.isError}};
    if (!outcome.structured.is_null() && version != "2025-03-26") result["structuredContent"] = outcome.structured;
    return result;
}

}  // namespace tovo::mcp
