// What the setup window shows for a given agent state. The platform's window
// applies it in update(); keeping it a pure function keeps the texts and the
// rules in one tested place.
#pragma once

#include <string>
#include <string_view>

namespace kx {

struct SetupWindowContent {
  bool needsRestart = false;     // the done button restarts instead of hiding the window
  std::string doneTitle;         // "Done" or "Restart & recheck permissions"
  bool codeEntryHidden = false;  // the code field and "Enroll this Mac"
  std::string enrollmentText;
  std::string permissionText;
  bool permissionButtonEnabled = true;
  std::string detailText;
};

// `permission` is the authorization word; only exactly "granted" counts.
SetupWindowContent setupWindowContent(bool enrolled, std::string_view permission, std::string_view error,
                                      bool restartRequired);

// Texts that never change (those naming the computer are in platform_texts.h).
inline constexpr std::string_view kSetupHeading = "Ready for remote support";
inline constexpr std::string_view kSetupCodePlaceholder = "Enter the setup code supplied by your support team";
inline constexpr std::string_view kSetupImportButton = "Import enrollment file…";
inline constexpr std::string_view kSetupPermissionButton = "Enable mouse & keyboard";
inline constexpr std::string_view kSetupLoginButton = "Start at login";
inline constexpr std::string_view kSetupTechnicianButton = "Open technician console…";

}  // namespace kx
