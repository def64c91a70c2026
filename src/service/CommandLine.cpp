#include "service/CommandLine.h"

namespace tovo {

std::optional<std::string> ServiceOptions::remoteHome() const {
    if (!remote || !socketPath) return std::nullopt;
    size_t slash = socketPath->rfind('/');
    if (slash == std::string::npos) return std::string(".");
    if (slash == 0) return std::string("/");
    return socketPath->substr(0, slash);
}

CommandLineResult parseServiceArguments(const std::vector<std::string>& arguments) {
    CommandLineResult result;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--socket") {
            if (i + 1 < arguments.size()) {
                result.options.socketPath = arguments[++i];
            } else {
                result.options.socketPath.reset();
            }
        } else if (argument == "--exit-on-stdin-eof") {
            result.options.exitOnStdinEOF = true;
        } else if (argument == "--remote") {
            result.options.remote = true;
        } else if (argument == "--backend" && i + 1 < arguments.size()) {
            result.options.backend = arguments[++i];
        } else {
            result.unknownArgument = argument;
            return result;
        }
    }
    return result;
}

}  // namespace tovo
