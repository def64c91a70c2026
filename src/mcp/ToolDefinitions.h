#pragma once

#include <nlohmann/json.hpp>

namespace tovo::mcp {

// The computer-use tools as MCP lists them: names, descriptions, input schemas (which refuse
// unknown fields) and output schemas. The tools that act take "screenshot_after".
nlohmann::json computerToolDefinitions();

}  // namespace tovo::mcp
