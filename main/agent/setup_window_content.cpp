#include "agent/setup_window_content.h"

#include "protocol/platform_texts.h"

namespace kx {

SetupWindowContent setupWindowContent(bool enrolled, std::string_view permission, std::string_view error,
                                      bool restartRequired) {
  const bool granted = permission == "granted";
  SetupWindowContent content;
  content.needsRestart = restartRequired;
  content.doneTitle = restartRequired ? "Restart & recheck permissions" : "Done";
  content.codeEntryHidden = enrolled;
  content.enrollmentText = enrolled ? std::string(kPlatformTexts.setupEnrolled) : "1. Enter the setup code supplied by your support team";
  content.permissionText = granted ? "✓ Mouse & keyboard control enabled" : "2. Enable mouse & keyboard control";
  content.permissionButtonEnabled = !granted;
  if (restartRequired) {
    content.detailText = std::string(kPlatformTexts.setupRestartDetail);
  } else if (error.empty()) {
    content.detailText = std::string(kPlatformTexts.setupPermissionDetail);
  } else {
    content.detailText = "Connection needs attention: " + std::string(error);
  }
  return content;
}

}  // namespace kx
