// What the technician console needs from the platform: its window, the web
// sign-in, the token store, the clipboard, its alerts, an HTTP transport and
// the media engine. AdminConsole is written against these interfaces only;
// main/platform/qt implements them and tests use fakes.
//
// Threads: every method is called on the loop thread, and every callback and
// completion given to these interfaces must be invoked on the loop thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/http.h"
#include "protocol/peer_engine.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"

namespace kx {

class RemoteInputView;

// One device of the list, drawn as a wrapping label and a "Request access"
// button below it.
struct DeviceRow {
  std::string label;  // e.g. "Studio Mac · Online"
  bool enabled = false;  // whether "Request access" can be pressed
  bool operator==(const DeviceRow&) const = default;
};

// What the window's controls and window events do. Set by AdminConsole when
// it is constructed and cleared (all empty) when it is destroyed; the view
// checks for empty functions before calling.
struct ConsoleActions {
  std::function<void()> signIn;       // "Technician sign in"
  std::function<void()> cancelSignIn;  // "Cancel", shown while a sign-in waits for the browser
  std::function<void()> refreshList;  // "Refresh devices"
  std::function<void()> createCode;   // "Create setup code"
  std::function<void()> signOut;      // "Sign out"
  std::function<void()> showActivity;  // "Recent activity"
  std::function<void()> end;          // "End session"
  std::function<void()> fullScreen;   // "Full screen"
  std::function<void()> windowWillClose;     // the close button (the window only hides)
  std::function<void()> windowDidResignKey;  // the window stopped being the active window
};

// The console window "Kestrelix Remote — Technician": a top bar (identity
// label, the buttons of ConsoleActions), a status line, the device column,
// the video area and the round-trip line.
class ConsoleWindowView {
 public:
  virtual ~ConsoleWindowView() = default;

  virtual void setActions(ConsoleActions actions) = 0;
  // The logic behind the video area; nullptr detaches it. The video widget
  // feeds its mouse, wheel, key and layout events into it and places the
  // video picture at input->videoFrame().
  virtual void attachInputView(RemoteInputView* input) = 0;
  // Where the technician peer draws the remote picture. Lives as long as the
  // view. The frames arrive on engine threads.
  virtual VideoRenderer* videoRenderer() = 0;

  virtual void setIdentityText(const std::string& text) = 0;
  virtual void setStatusText(const std::string& text) = 0;
  virtual void setMeasurementText(const std::string& text) = 0;
  // Replaces every row. Pressing the button of row i calls requestAccess(i).
  virtual void setDeviceRows(std::vector<DeviceRow> rows, std::function<void(size_t)> requestAccess) = 0;
  virtual void setEndButtonEnabled(bool enabled) = 0;
  // Shows the sign-in's "Cancel" button while a sign-in waits for the browser.
  virtual void setSignInPending(bool pending) = 0;
  // The technician's recent activity, one entry a line, newest first; "" hides it.
  virtual void setActivityText(const std::string& text) = 0;
  // The running session's header line ("Verification code: 012345"); "" hides it.
  virtual void setSessionHeaderText(const std::string& text) = 0;

  // Brings the window to the front, makes it the active window and activates the app.
  virtual void showWindow() = 0;
  virtual void toggleFullScreen() = 0;
  // Regular: the app shows in the task bar / dock. Accessory: tray icon only.
  virtual void setApplicationRegular(bool regular) = 0;
};

// Signing in through the service's web portal in the system browser.
class WebSignIn {
 public:
  // At most one of the two is set: a URL the app received (text of a
  // `callbackScheme:` URL), or the error the browser ended with (it could not
  // be opened, for one). Both empty means the attempt ended without a
  // callback and without a reason.
  using Completion = std::function<void(std::optional<std::string> callbackUrl, std::optional<Error> error)>;

  virtual ~WebSignIn() = default;
  // Opens `url` and waits for URLs of `callbackScheme` delivered to the
  // running app (on Linux: the browser opens "kestrelixremote:..." which the
  // desktop hands to a second copy of the app, which forwards it to this one).
  // Returns false when nothing could be started. `done` runs on the loop
  // thread for every such URL (anyone can send one: the caller checks it
  // belongs to its attempt), and for an error, until cancel() or the next
  // start(); never after those.
  virtual bool start(const std::string& url, const std::string& callbackScheme, Completion done) = 0;
  // Stops waiting; the completion is not called again.
  virtual void cancel() = 0;
};

// One generic password per (service, account). May be unavailable (no
// secret service running): load then finds nothing and save fails, and the
// technician's token simply lives for this run only. Every call returns at
// once; its completion runs later on the loop thread (or from inside the
// call), unless the keychain is destroyed first.
class Keychain {
 public:
  virtual ~Keychain() = default;
  // Nothing when there is no entry, it is not valid UTF-8, or the store is unavailable.
  virtual void load(const std::string& service, const std::string& account,
                    std::function<void(std::optional<std::string>)> done) = 0;
  // Updates the entry in place, or creates it (readable only by this user,
  // only on this machine) when there is none.
  virtual void save(const std::string& service, const std::string& account, const std::string& secret,
                    std::function<void(Status)> done) = 0;
  virtual void remove(const std::string& service, const std::string& account, std::function<void(Status)> done) = 0;
};

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Replaces the clipboard's content with plain text.
  virtual void setText(const std::string& text) = 0;
};

enum class SetupCodeChoice {
  kCopyCode,  // the first button, "Copy code"
  kClose,     // "Close", or the alert was dismissed
};

class ConsoleDialogs {
 public:
  virtual ~ConsoleDialogs() = default;
  // A modal alert with `message` as its title, `informative` below it and the
  // buttons "Copy code" and "Close". `done` is called once, on the loop
  // thread, unless the dialogs object is destroyed first.
  virtual void showSetupCode(const std::string& message, const std::string& informative,
                             std::function<void(SetupCodeChoice)> done) = 0;
};

// Everything AdminConsole is given. Every referenced object outlives the console.
struct ConsolePlatform {
  EventLoop& loop;
  Clock& clock;  // uptime for poll schedule, pings and round trips
  ConsoleWindowView& view;
  WebSignIn& webSignIn;
  Keychain& keychain;
  Pasteboard& pasteboard;
  ConsoleDialogs& dialogs;
  PeerEngine& peerEngine;
  // Makes the console's own HTTP transport (no cookies, no cache, redirects
  // not followed); called once, on the first request.
  std::function<std::unique_ptr<HttpTransport>()> makeHttpTransport;
};

}  // namespace kx
