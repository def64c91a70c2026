#include "http/ServerIdentity.h"

// Generated at build time: TOVO_VERSION and TOVO_BUILD, either of which may be empty.
#include "BuildInfo.h"

namespace tovo::ServerIdentity {
namespace {

// The marker in this build's bytes; version() reads it, so that it is kept.
[[gnu::used]] const char marker[] = "\nTOVO-CONTROL-VERSION:" TOVO_VERSION "\n";

}  // namespace

std::string version() {
    std::string text(marker + std::char_traits<char>::length(versionMarkerPrefix));
    text.pop_back();  // the line feed
    return text.empty() ? "dev" : text;
}

std::optional<std::string> embeddedVersion(const std::string& executable) {
    const std::string prefix = versionMarkerPrefix;
    for (size_t at = executable.find(prefix); at != std::string::npos; at = executable.find(prefix, at + 1)) {
        size_t start = at + prefix.size(), end = start;
        auto allowed = [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
                   c == '+' || c == '~';
        };
        while (end < executable.size() && end - start <= 64 && allowed(executable[end])) ++end;
        // The prefix also stands alone (as the constant this code searches with): only one
        // followed by a version and a line feed is a marker.
        if (end < executable.size() && executable[end] == '\n') {
            std::string found = executable.substr(start, end - start);
            return found.empty() ? "dev" : found;
        }
    }
    return std::nullopt;
}

std::optional<std::string> build() {
    std::string b = TOVO_BUILD;
    if (b.empty()) return std::nullopt;
    return b;
}

nlohmann::json json() {
    nlohmann::json object{{"app", app}, {"version", version()}, {"api", api}};
    if (auto b = build()) object["build"] = *b;
    return object;
}

}  // namespace tovo::ServerIdentity
