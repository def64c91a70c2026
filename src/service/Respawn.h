#pragma once

#include <optional>

namespace tovo::Respawn {

// Re-launches this executable as a child whose privacy grants are its own, when the
// platform offers `responsibility_spawnattrs_setdisclaim`, and waits for it while relaying
// SIGTERM and SIGINT. Returns the code this process must exit with (the child's, or 128 +
// signal), or no value when it must go on serving in-process.
std::optional<int> runDisclaimedChild(int argc, char** argv);

}  // namespace tovo::Respawn
