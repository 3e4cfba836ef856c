// What the client agent needs from the desktop it runs on. RemoteClient holds
// only these interfaces; main/platform/qt (and friends) implement them, tests
// use the fakes in tests/agent/agent_harness.h.
//
// Threads: every method here is called on the loop thread, and every
// completion is delivered on the loop thread (implementations post() to the
// loop first when the answer comes from elsewhere). A completion may be called
// synchronously from inside the call that started it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/capture.h"
#include "media/input_access.h"
#include "media/input_injector.h"
#include "protocol/build_config.h"
#include "protocol/http.h"
#include "protocol/peer_engine.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"

namespace kx {

// The menu-bar item. Its menu items are the platform's; their actions call
// RemoteClient: showTechnician, showSetup, importEnrollment,
// connectionDetails, enableLogin, inputPermission, endSession, quit.
class StatusMenu {
 public:
  virtual ~StatusMenu() = default;
  // Title of the menu-bar item itself ("KX Test", "● KX Sharing").
  virtual void setTitle(const std::string& title) = 0;
  // The first, action-less menu item: the agent's one-line state.
  virtual void setStatusLine(const std::string& text) = 0;
  // While the screen streams to `technician`: the icon shows it, and a small
  // always-on-top bar says "Sharing your screen with <technician>" beside a
  // Stop button that runs the menu's end-session action. nullopt hides both.
  virtual void setSharing(const std::optional<std::string>& technician) = 0;
};

enum class ConsentDecision { kApprove, kDeny };

struct ConsentPrompt {
  std::string message;  // "<technician> requests access"
  std::string informativeText;
  std::string approveTitle = "Approve";  // first button
  std::string denyTitle = "Deny";
};

// Alerts and panels. They behave as modal for the person (one at a time, in
// front), but return at once; the answer comes through the completion.
class AgentDialogs {
 public:
  virtual ~AgentDialogs() = default;
  // `done` gets kApprove only when the person chose the approve button;
  // closing the alert any other way is kDeny.
  virtual void askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) = 0;
  // An informational alert with one "OK" button ("Connection details",
  // "Enrollment could not be imported", "Kestrelix Remote Test is already
  // running"). `dismissed` (may be empty) runs once the person closed it.
  virtual void showAlert(const std::string& message, const std::string& informativeText,
                         std::function<void()> dismissed) = 0;
  // Open panel for one JSON file. `done` gets the chosen path, or nullopt when
  // the person cancelled.
  virtual void chooseEnrollmentFile(const std::string& title, std::function<void(std::optional<std::string>)> done) = 0;
};

// The six actions of the setup window; each calls the agent (and does nothing
// once the agent is gone).
struct SetupWindowActions {
  std::function<void()> enroll;                            // "Import enrollment file…"
  std::function<void()> permissions;                       // "Enable mouse & keyboard"
  std::function<void()> login;                             // "Start at login"
  std::function<void()> restart;                           // done button while a restart is required
  std::function<void(const std::string&)> codeEnrollment;  // "Enroll this Mac", code exactly as typed
  std::function<void()> technician;                        // "Open technician console…"
};

// The setup window. Created once, on first use, by the platform's factory;
// the agent keeps it for its whole life. The texts for a state come from
// setupWindowContent() (agent/setup_window_content.h).
class SetupWindowView {
 public:
  virtual ~SetupWindowView() = default;
  // `permission` is "granted", "denied" or "unknown"; `error` the last
  // registration error text ("" when none).
  virtual void update(bool enrolled, const std::string& permission, const std::string& error, bool restartRequired) = 0;
  // Brings the window to the front and activates the application.
  virtual void show() = 0;
};

using SetupWindowFactory = std::function<std::unique_ptr<SetupWindowView>(SetupWindowActions)>;

// Builds the transport for all service requests of one enrollment (the
// agent's "networking"). Called by every successful configure; the previous
// transport is kept alive until its requests have finished.
using ServiceTransportFactory = std::function<std::unique_ptr<HttpTransport>(const PinnedConnection&)>;

// Registration of the app as a login item (an XDG autostart entry on Linux).
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual Status enable() = 0;
};

struct ChildProcess {
  std::string executable;
  std::vector<std::string> arguments;  // argv[1...]
};

// Starts the detached relaunch helper (see relaunchCommand() in agent/relaunch.h).
class Relauncher {
 public:
  virtual ~Relauncher() = default;
  // Fails with the system's error when the process cannot be started.
  virtual Status launch(const ChildProcess& process) = 0;
};

class SingleInstance {
 public:
  virtual ~SingleInstance() = default;
  // Locations (executable paths) of the other running, not terminated copies
  // of the application `applicationId`, excluding this process. An empty text
  // stands for a copy whose location is unknown.
  virtual std::vector<std::string> otherInstances(const std::string& applicationId) = 0;
};

// User defaults.
class Preferences {
 public:
  virtual ~Preferences() = default;
  virtual std::optional<std::string> setupShownVersion() = 0;
  virtual void setSetupShownVersion(const std::string& version) = 0;
};

class ApplicationControl {
 public:
  virtual ~ApplicationControl() = default;
  // Ends the process soon (after the current loop iteration); may be called more than once.
  virtual void terminate() = 0;
  // Brings the application in front of other applications.
  virtual void activate() = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual void openUrl(const std::string& url) = 0;
};

// Runs blocking platform checks (input access) off the loop thread.
class BackgroundQueue {
 public:
  virtual ~BackgroundQueue() = default;
  // Runs `work` on another thread, then `done` on the loop thread.
  virtual void run(std::function<void()> work, std::function<void()> done) = 0;
};

// Facts about the running process, gathered by the platform at launch and
// turned into the running-build identity by RuntimeIdentity::capture().
struct ProcessInfo {
  int32_t processId = 0;
  std::optional<std::string> bundleIdentifier;  // nullopt: the app has none
  std::string bundlePath;                       // the installation folder
  std::optional<std::string> executablePath;
  std::optional<double> launchTime;          // seconds since 1970
  std::string architecture;                  // "x86_64", "arm64", ...
  std::optional<std::string> onDiskVersion;  // version of the installed copy, read at launch
  // No code-signing services on this platform: the lookup reports
  // errSecCSUnsigned and nothing more is added.
  int32_t codeLookupStatus = -67062;
};

// The service the agent is built for. Defaults are the build's constants;
// integration tests point it at a local service.
struct ServiceEndpoint {
  std::string address = build::kServiceAddress;  // "https://host[:port]", no path
  std::string host = build::kServiceHost;
  std::string retiredHostSuffix = build::kRetiredHostSuffix;
};

// Creates `path` and missing parents; the folder itself gets mode 0700.
Status createPrivateFolder(const std::string& path);
// "$XDG_DATA_HOME/Kestrelix Remote Test", or "~/.local/share/Kestrelix Remote Test".
std::string defaultSettingsFolder();

struct AgentPlatform {
  EventLoop& loop;
  Clock& clock;
  StatusMenu& menu;
  AgentDialogs& dialogs;
  SetupWindowFactory makeSetupWindow;
  ServiceTransportFactory makeServiceTransport;
  PeerEngine& peerEngine;
  ScreenCapture& screenCapture;
  DisplayPicker& picker;
  InputInjector& injector;
  InputAccess& inputAccess;
  BackgroundQueue& background;
  LoginItem& loginItem;
  Relauncher& relauncher;
  SingleInstance& singleInstance;
  Preferences& preferences;
  ApplicationControl& application;
  Workspace& workspace;
  // Creates the technician console on first use and shows it. The argument
  // returns the agent's device identifier ("" once the agent is gone).
  std::function<void(std::function<std::string()> deviceIdentifier)> showTechnicianConsole;
  // The computer's name for the service; "Mac" is sent when empty.
  std::string hostName;
  // Where "enrollment.json" and "client-status.json" live (defaultSettingsFolder()).
  std::string settingsFolder;
  std::function<Status(const std::string&)> createSettingsFolder = createPrivateFolder;
  ProcessInfo process;
  ServiceEndpoint service;
};

}  // namespace kx
