#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tovo {

// The service role's command line.
struct ServiceOptions {
    std::optional<std::string> socketPath;  // --socket <path>; the last one wins
    bool exitOnStdinEOF = false;            // --exit-on-stdin-eof
    bool remote = false;                    // --remote
    std::optional<std::string> backend;     // --backend <name>: the desktop platform

    // The remote listener's data directory: the socket's directory, with --remote only.
    std::optional<std::string> remoteHome() const;
};

struct CommandLineResult {
    ServiceOptions options;
    std::optional<std::string> unknownArgument;  // the first argument not understood
};

// Parses the arguments after the program name. `--socket` and `--backend` take the next
// argument whatever it is; as the last argument `--socket` leaves the path absent and
// `--backend` is reported as not understood.
CommandLineResult parseServiceArguments(const std::vector<std::string>& arguments);

inline constexpr const char* usageLine =
    "usage: tovo-control [--app] | --socket <path> [--exit-on-stdin-eof] [--remote] [--backend x11]";

}  // namespace tovo
