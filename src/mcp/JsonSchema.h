#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo::mcp {

// Checks a value against the subset of JSON Schema the tools' input schemas use: "type"
// (object, array, string, integer, number, boolean), "properties", "required",
// "additionalProperties": false, "enum", "minimum", "maximum", "minLength", "maxLength",
// "minItems", "maxItems" and "items". Returns the first fault as a sentence naming the
// field's path ("x must be a number", "unknown field \"z\"; the fields are …"), or none.
std::optional<std::string> schemaFault(const nlohmann::json& schema, const nlohmann::json& value,
                                       const std::string& path = "");

}  // namespace tovo::mcp
