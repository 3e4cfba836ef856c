#include "agent/setup_window_content.h"

namespace kx {

SetupWindowContent setupWindowContent(bool enrolled, std::string_view permission, std::string_view error,
                                      bool restartRequired) {
  const bool granted = permission == "granted";
  SetupWindowContent content;
  content.needsRestart = restartRequired;
  content.doneTitle = restartRequired ? "Restart & recheck permissions" : "Done";
  content.codeEntryHidden = enrolled;
  content.enrollmentText = enrolled ? "✓ Mac enrolled" : "1. Enter the setup code supplied by your support team";
  content.permissionText = granted ? "✓ Mouse & keyboard control enabled" : "2. Enable mouse & keyboard control";
  content.permissionButtonEnabled = !granted;
  if (restartRequired) {
    content.detailText =
        "Enable Kestrelix Remote Test in Accessibility settings, then choose Restart & recheck permissions below. "
        "The app reopens automatically. An active support session will end.";
  } else if (error.empty()) {
    content.detailText =
        "macOS may open Accessibility settings. Enable Kestrelix Remote Test there and return here; this window "
        "updates automatically.";
  } else {
    content.detailText = "Connection needs attention: " + std::string(error);
  }
  return content;
}

}  // namespace kx
