#pragma once

#include "base/Text.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tovo {

// A parsed request. The local socket never sets a sender; requests from paired phones
// carry theirs.
struct HTTPRequest {
    // The paired device a request came from over the remote listener.
    struct Sender {
        std::string id;
        std::string name;
    };

    std::string method;                          // upper-cased
    std::string path;                            // percent-decoded
    std::map<std::string, std::string> query;    // last value of a repeated name wins
    std::map<std::string, std::string> headers;  // names lower-cased, names and values trimmed
    std::string body;                            // exactly Content-Length bytes
    std::optional<Sender> remote;                // absent on the local socket

    // The query value `name` as a decimal integer with an optional sign. Absent or empty
    // gives no value; anything else throws HTTPError 400 "{name} must be an integer".
    std::optional<int64_t> integer(const std::string& name) const;
};

// Splits a request target into `path` and `query`. The target is read as the path and
// query of an absolute URL: the path is percent-decoded and each "&"-separated query item
// becomes name → value (empty without "="), both percent-decoded ("+" stays "+"). A
// target that is not a valid URL (control characters, a bad percent escape, decoded bytes
// that are not UTF-8) keeps the raw target as the path and an empty query.
void parseRequestTarget(std::string_view target, std::string& path, std::map<std::string, std::string>& query);

}  // namespace tovo
