#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tovo {

// sway's IPC socket: $SWAYSOCK, else the sway-ipc.*.sock in $XDG_RUNTIME_DIR; none when
// there is neither (not sway).
std::optional<std::string> swaySocketPath();

// Sends one message of `type` (4: GET_TREE) and returns sway's JSON answer; none when sway
// does not answer within a second. One connection per call. Callable from any thread.
std::optional<nlohmann::json> swayRequest(const std::string& socketPath, uint32_t type,
                                          const std::string& payload = {});

}  // namespace tovo
