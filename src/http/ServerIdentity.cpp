#include "http/ServerIdentity.h"

// TOVO_VERSION and TOVO_BUILD come from the build system; either may be empty.
#ifndef TOVO_VERSION
#define TOVO_VERSION ""
#endif
#ifndef TOVO_BUILD
#define TOVO_BUILD ""
#endif

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
