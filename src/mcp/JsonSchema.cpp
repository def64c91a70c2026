#include "mcp/JsonSchema.h"

#include <cmath>

namespace tovo::mcp {
namespace {

std::string named(const std::string& path) { return path.empty() ? "the arguments" : path; }

bool hasType(const nlohmann::json& value, const std::string& type) {
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    if (type == "string") return value.is_string();
    if (type == "boolean") return value.is_boolean();
    if (type == "number") return value.is_number();
    if (type == "integer") {
        if (value.is_number_integer()) return true;
        return value.is_number_float() && std::isfinite(value.get<double>()) &&
               std::floor(value.get<double>()) == value.get<double>();
    }
    return true;
}

std::string article(const std::string& type) {
    if (type == "integer" || type == "object" || type == "array") return "an " + type;
    return "a " + type;
}

std::string listOf(const nlohmann::json& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " or " : ", ";
        out += names[i].is_string() ? names[i].get<std::string>() : names[i].dump();
    }
    return out;
}

std::optional<std::string> objectFault(const nlohmann::json& schema, const nlohmann::json& value,
                                       const std::string& path) {
    const nlohmann::json properties = schema.value("properties", nlohmann::json::object());
    for (const auto& required : schema.value("required", nlohmann::json::array())) {
        if (!value.contains(required.get<std::string>())) {
            return (path.empty() ? std::string("the arguments need") : path + " needs") + " the field \"" +
                   required.get<std::string>() + "\"";
        }
    }
    for (const auto& [key, item] : value.items()) {
        std::string inner = path.empty() ? key : path + "." + key;
        auto property = properties.find(key);
        if (property == properties.end()) {
            if (schema.value("additionalProperties", true)) continue;
            nlohmann::json known = nlohmann::json::array();
            for (const auto& [name, unused] : properties.items()) known.push_back(name);
            return "unknown field \"" + inner + "\"" +
                   (known.empty() ? std::string("; send no fields") : "; the fields are " + listOf(known));
        }
        if (auto fault = schemaFault(*property, item, inner)) return fault;
    }
    return std::nullopt;
}

std::optional<std::string> arrayFault(const nlohmann::json& schema, const nlohmann::json& value,
                                      const std::string& path) {
    if (schema.contains("minItems") && value.size() < schema["minItems"].get<size_t>()) {
        return named(path) + " must have at least " + std::to_string(schema["minItems"].get<size_t>()) + " items";
    }
    if (schema.contains("maxItems") && value.size() > schema["maxItems"].get<size_t>()) {
        return named(path) + " must have at most " + std::to_string(schema["maxItems"].get<size_t>()) + " items";
    }
    if (auto items = schema.find("items"); items != schema.end()) {
        for (size_t i = 0; i < value.size(); ++i) {
            if (auto fault = schemaFault(*items, value[i], named(path) + "[" + std::to_string(i) + "]")) return fault;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> schemaFault(const nlohmann::json& schema, const nlohmann::json& value,
                                       const std::string& path) {
    if (auto type = schema.find("type"); type != schema.end() && !hasType(value, type->get<std::string>())) {
        return named(path) + " must be " + article(type->get<std::string>());
    }
    if (auto choices = schema.find("enum"); choices != schema.end()) {
        bool found = false;
        for (const auto& choice : *choices) found = found || choice == value;
        if (!found) return named(path) + " must be " + listOf(*choices);
    }
    if (value.is_number()) {
        double number = value.get<double>();
        if (schema.contains("minimum") && number < schema["minimum"].get<double>()) {
            return named(path) + " must be at least " + schema["minimum"].dump();
        }
        if (schema.contains("maximum") && number > schema["maximum"].get<double>()) {
            return named(path) + " must be at most " + schema["maximum"].dump();
        }
    }
    if (value.is_string()) {
        size_t length = value.get_ref<const std::string&>().size();
        if (schema.contains("minLength") && length < schema["minLength"].get<size_t>()) {
            return named(path) + (schema["minLength"].get<size_t>() == 1 ? " must not be empty" : " is too short");
        }
        if (schema.contains("maxLength") && length > schema["maxLength"].get<size_t>()) {
            return named(path) + " must be at most " + schema["maxLength"].dump() + " bytes";
        }
    }
    if (value.is_object()) return objectFault(schema, value, path);
    if (value.is_array()) return arrayFault(schema, value, path);
    return std::nullopt;
}

}  // namespace tovo::mcp
