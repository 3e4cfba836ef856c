// Texts the agent shows for an error, and the fixed texts of its menu line
// and alerts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace kx {

// The error's description; for an error that has none, the generic sentence
// the desktop shows for it ("The operation couldn’t be completed. (domain error code.)").
std::string localizedDescription(const Error& error);

// The "already running" alert's text for the running copies' `locations`
// (executable paths; "" for one whose location is unknown).
std::string alreadyRunningDetail(const std::vector<std::string>& locations);

// "domain (code): description", as registration failures are recorded.
std::string registrationErrorText(const Error& error);

namespace text {
inline constexpr std::string_view kStarting = "Starting…";
inline constexpr std::string_view kCannotCreateSettings = "Cannot create client settings";
inline constexpr std::string_view kImportValidFile = "Import a valid enrollment file";
inline constexpr std::string_view kNotEnrolled = "Not enrolled · import enrollment file";
inline constexpr std::string_view kLoginEnabled = "Start at login enabled";
inline constexpr std::string_view kLoginFailedPrefix = "Login setup: ";
inline constexpr std::string_view kOnline = "Online · awaiting requests";
inline constexpr std::string_view kConnectionFailed = "Connection failed · see Connection details";
inline constexpr std::string_view kExpired = "Support session expired · request fresh approval";
inline constexpr std::string_view kRequestExpired = "Support request expired · the technician can request again";
inline constexpr std::string_view kVerificationCodePrefix = "Verification code: ";
inline constexpr std::string_view kConnectionEndedPrefix = "Connection ended: ";
inline constexpr std::string_view kApproved = "Approved · choose a display to share";
inline constexpr std::string_view kSharing = "Sharing · approved technician";
inline constexpr std::string_view kCapturePausedPrefix = "Capture paused: ";
inline constexpr std::string_view kNoDisplay = "No display was selected";
inline constexpr std::string_view kDisplayWithoutSize = "The selected display has no size";
inline constexpr std::string_view kSharingEndedPrefix = "Sharing ended · ";
inline constexpr std::string_view kPeerEnded = "Real-time connection ended. A new approved session is needed.";
inline constexpr std::string_view kRestartFailed = "Restart failed · quit and reopen the app";
inline constexpr std::string_view kIdleTitle = "KX Test";
inline constexpr std::string_view kSharingTitle = "● KX Sharing";

inline constexpr std::string_view kAlreadyRunning = "Kestrelix Remote Test is already running";
inline constexpr std::string_view kAlreadyRunningDetail =
    "Quit the existing KX Test copy before opening this version. Existing app locations:\n";
inline constexpr std::string_view kUnknownLocation = "Unknown location";
inline constexpr std::string_view kImportPanelTitle = "Choose the enrollment file supplied with your test installer";
inline constexpr std::string_view kImportFailed = "Enrollment could not be imported";
inline constexpr std::string_view kSetupCodeGuidance = "Enter the full setup code supplied by your support team.";
inline constexpr std::string_view kConnectionDetails = "Connection details";
inline constexpr std::string_view kNoRegistrationError = "No registration error recorded.";
inline constexpr std::string_view kInputAccessTitle = "Mouse & keyboard control is not available";
inline constexpr std::string_view kDefaultTechnician = "Technician";
inline constexpr std::string_view kRequestsAccess = " requests access";
}  // namespace text

}  // namespace kx
