// The user-facing texts that name the computer, its operating system or the
// support backend. Each platform keeps its own table so that no build tells
// the person at the computer something false about where their screen goes
// or what will ask them for what. Every other text lives with its code.
#pragma once

#include <string_view>

namespace kx {

struct PlatformTexts {
  // Agent: the consent prompt's detail text.
  std::string_view consentDetail;
  // The device name sent when the computer reports none; also what the
  // console lists for a device without a name.
  std::string_view defaultDeviceName;
  // Agent: the setup window.
  std::string_view setupWindowTitle;
  std::string_view setupIntroduction;
  std::string_view setupCodeButton;
  std::string_view setupEnrolled;
  std::string_view setupPermissionDetail;
  std::string_view setupRestartDetail;
  // Where "Enable mouse & keyboard control" sends the person when input is
  // not allowed yet; empty where no settings page grants it, and
  // inputAccessHelp is shown instead.
  std::string_view inputSettingsUrl;
  std::string_view inputAccessHelp;
  // Console.
  std::string_view signInPrompt;
  std::string_view waitingForApproval;
  std::string_view selectDevice;
  std::string_view setupCodeTitle;
  std::string_view setupCodeValidity;  // followed by " Download the app at <address>/download"
  std::string_view controlNotEnabled;
  std::string_view deviceStoppedResponding;
};

inline constexpr PlatformTexts kMacTexts{
    .consentDetail =
        "After approval, macOS will ask you to choose the display to share. Your screen and input are encrypted "
        "between this Mac and the technician\u2019s app; your Firebase service exchanges encrypted connection setup "
        "messages. The technician can see and control that display for up to 30 minutes. End the session at any "
        "time from the KX Test menu.",
    .defaultDeviceName = "Mac",
    .setupWindowTitle = "Kestrelix Remote — Set up this Mac",
    .setupIntroduction = "Connect this Mac to your support team and enable control. You approve every session, then "
                         "choose the screen to share.",
    .setupCodeButton = "Enroll this Mac",
    .setupEnrolled = "✓ Mac enrolled",
    .setupPermissionDetail = "macOS may open Accessibility settings. Enable Kestrelix Remote Test there and return "
                             "here; this window updates automatically.",
    .setupRestartDetail = "Enable Kestrelix Remote Test in Accessibility settings, then choose Restart & recheck "
                          "permissions below. The app reopens automatically. An active support session will end.",
    .inputSettingsUrl = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility",
    .inputAccessHelp = "",
    .signInPrompt = "Sign in to connect to your Macs",
    .waitingForApproval = "Waiting for the person at the Mac to approve and choose a display…",
    .selectDevice = "Select a Mac to request access.",
    .setupCodeTitle = "New Mac setup code",
    .setupCodeValidity = "Valid for one Mac for 24 hours.",
    .controlNotEnabled = "Live video connected · Enable mouse & keyboard control on the Mac",
    .deviceStoppedResponding = "The Mac stopped responding. Request access again.",
};

// On Linux the app asks for the display itself, input goes through the X
// server's XTest extension, and the backend is the support service.
inline constexpr PlatformTexts kLinuxTexts{
    .consentDetail =
        "After approval, this app will ask you to choose the display to share. Your screen and input are encrypted "
        "between this computer and the technician\u2019s app; your support service exchanges encrypted connection "
        "setup messages. The technician can see and control that display for up to 30 minutes. End the session at "
        "any time from the KX Test tray menu.",
    .defaultDeviceName = "Computer",
    .setupWindowTitle = "Kestrelix Remote — Set up this computer",
    .setupIntroduction = "Connect this computer to your support team and enable control. You approve every "
                         "session, then choose the screen to share.",
    .setupCodeButton = "Enroll this computer",
    .setupEnrolled = "✓ Computer enrolled",
    .setupPermissionDetail = "Mouse & keyboard control needs the XTest extension of this display's X server; this "
                             "window updates automatically.",
    .setupRestartDetail = "Make the XTest extension available on this display, then choose Restart & recheck "
                          "permissions below. The app reopens automatically. An active support session will end.",
    .inputSettingsUrl = "",
    .inputAccessHelp = "This display's X server does not offer the XTest extension, which mouse & keyboard "
                       "control needs. Sign in to an X11 session (or start the X server with XTest enabled), then "
                       "restart the app.",
    .signInPrompt = "Sign in to connect to your computers",
    .waitingForApproval = "Waiting for the person at the computer to approve and choose a display…",
    .selectDevice = "Select a computer to request access.",
    .setupCodeTitle = "New computer setup code",
    .setupCodeValidity = "Valid for one computer for 24 hours.",
    .controlNotEnabled = "Live video connected · Enable mouse & keyboard control on the computer",
    .deviceStoppedResponding = "The computer stopped responding. Request access again.",
};

#if defined(__APPLE__)
inline constexpr const PlatformTexts& kPlatformTexts = kMacTexts;
#else
inline constexpr const PlatformTexts& kPlatformTexts = kLinuxTexts;
#endif

}  // namespace kx
