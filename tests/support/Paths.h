#pragma once

#include <string>

namespace tovo::test {

// Programs and files the integration tests start, as the build placed them.
inline const std::string binary = TOVO_CONTROL_BINARY;
inline const std::string sourceDir = TOVO_SOURCE_DIR;
inline const std::string colorWindow = TOVO_COLOR_WINDOW;
inline const std::string selectionProbe = TOVO_SELECTION_PROBE;
inline const std::string remoteClient = TOVO_REMOTE_CLIENT;

}  // namespace tovo::test
