#include "http/ServerIdentity.h"

// Generated at build time: TOVO_VERSION and TOVO_BUILD, either of which may be empty.
#include "BuildInfo.h"

namespace tovo::ServerIdentity {

std::string version() {
    std::string v = TOVO_VERSION;
    return v.empty() ? "dev" : v;
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
