#pragma once

namespace tovo {

// The two grants the service needs. On X11 nothing prompts: a request answers the
// current state.
namespace ScreenPermissions {

bool screenRecording();
bool accessibility();
bool requestScreenRecording();
bool requestAccessibility();
void requestAll();

inline constexpr const char* screenRecordingSettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
inline constexpr const char* accessibilitySettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

}  // namespace ScreenPermissions
}  // namespace tovo
