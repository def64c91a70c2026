#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace tovo::mcp {

// What a tool call gives back: MCP content blocks (text, image), the structured result that
// matches the tool's output schema, and whether the call failed (a failure the agent can act
// on: its text says what to send instead).
struct ToolOutcome {
    nlohmann::json content = nlohmann::json::array();
    nlohmann::json structured;  // null: none
    bool isError = false;

    static ToolOutcome failure(const std::string& sentence);
    static ToolOutcome success(nlohmann::json structured);  // the structure, also as text
};

// The tools an MCP session offers. Threads: one call at a time per session.
class ToolBox {
public:
    virtual ~ToolBox() = default;
    // [{name, title, description, inputSchema, outputSchema}], in the order they are listed.
    virtual const nlohmann::json& definitions() const = 0;
    // Runs a tool whose arguments already passed its input schema.
    virtual ToolOutcome call(const std::string& name, const nlohmann::json& arguments) = 0;
};

}  // namespace tovo::mcp
