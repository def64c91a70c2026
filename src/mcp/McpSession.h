#pragma once

#include "mcp/ToolBox.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo::mcp {

// One MCP conversation, transport aside: JSON-RPC 2.0 messages in, replies out. Speaks the
// protocol versions listed below (the first is offered when a client asks for another one);
// serves initialize, ping, tools/list and tools/call, and checks every call's arguments
// against the tool's input schema before the tool runs.
//
// Threads: one message at a time.
class McpSession {
public:
    static constexpr const char* versions[] = {"2025-11-25", "2025-06-18", "2025-03-26"};

    McpSession(ToolBox& tools, std::string serverVersion);

    // Handles one message (an object, or a batch array); returns the reply to send, none for
    // notifications and replies from the client.
    std::optional<nlohmann::json> handle(const nlohmann::json& message);
    // The same for a message's text; unreadable JSON gets a parse-error reply.
    std::optional<std::string> handleText(const std::string& text);

    // The version agreed by initialize (empty before it).
    const std::string& protocolVersion() const { return version; }

private:
    std::optional<nlohmann::json> handleOne(const nlohmann::json& message);
    nlohmann::json initialize(const nlohmann::json& params);
    nlohmann::json listTools() const;
    nlohmann::json callTool(const nlohmann::json& params);

    ToolBox& tools;
    const std::string serverVersion;
    std::string version;
};

}  // namespace tovo::mcp
