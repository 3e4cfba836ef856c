// The agent's desktop pieces on Qt Widgets: the tray menu (or a small window
// where no tray exists), alerts, the open panel, the setup window, user
// defaults, and the small Linux stand-ins (autostart, relaunch, URL opening,
// background checks).
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "agent/agent_platform.h"

class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace kx {

// The menu items after the status line, in menu order.
struct AgentMenuActions {
  std::function<void()> showTechnician;
  std::function<void()> showSetup;
  std::function<void()> importEnrollment;
  std::function<void()> connectionDetails;
  std::function<void()> enableLogin;
  std::function<void()> inputPermission;
  std::function<void()> endSession;
  std::function<void()> quit;
};

class QtStatusMenu final : public StatusMenu {
 public:
  QtStatusMenu();
  ~QtStatusMenu() override;
  // Builds the menu ("Starting…" first) and shows the tray icon, or the menu
  // window when the desktop has no system tray.
  void install(AgentMenuActions actions);

  void setTitle(const std::string& title) override;
  void setStatusLine(const std::string& text) override;
  void setSharing(const std::optional<std::string>& technician) override;
  bool usesTray() const { return tray_ != nullptr; }
  // The sharing bar while it shows, else nullptr.
  QWidget* sharingBar() const { return sharingBar_.get(); }

 private:
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QWidget> window_;
  QAction* info_ = nullptr;
  QLabel* windowInfo_ = nullptr;
  QString title_ = "KX Test";
  QString line_ = "Starting…";  // kept for a menu built after the first line
  std::unique_ptr<QWidget> sharingBar_;
  std::function<void()> endSession_;
};

class QtAgentDialogs final : public AgentDialogs {
 public:
  // `choiceDelayMs`: how long the consent prompt takes no answer after it shows.
  explicit QtAgentDialogs(int choiceDelayMs = 1000) : choiceDelayMs_(choiceDelayMs) {}
  void askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) override;
  void showAlert(const std::string& message, const std::string& informativeText,
                 std::function<void()> dismissed) override;
  void chooseEnrollmentFile(const std::string& title, std::function<void(std::optional<std::string>)> done) override;

 private:
  int choiceDelayMs_;
};

// Factory for the agent's setup window.
std::unique_ptr<SetupWindowView> makeQtSetupWindow(SetupWindowActions actions);

class XdgLoginItem final : public LoginItem {
 public:
  Status enable() override;
};

class DetachedRelauncher final : public Relauncher {
 public:
  Status launch(const ChildProcess& process) override;
};

class QtPreferences final : public Preferences {
 public:
  std::optional<std::string> setupShownVersion() override;
  void setSetupShownVersion(const std::string& version) override;
};

class QtApplicationControl final : public ApplicationControl {
 public:
  // Runs before the process exits (once): `beforeExit(proceed)` finishes what
  // must leave first and then calls `proceed`.
  void setBeforeExit(std::function<void(std::function<void()> proceed)> beforeExit) {
    beforeExit_ = std::move(beforeExit);
  }
  void terminate() override;
  void activate() override;

 private:
  std::function<void(std::function<void()>)> beforeExit_;
};

class QtWorkspace final : public Workspace {
 public:
  void openUrl(const std::string& url) override;
};

// Facts about this process for the running-build identity.
ProcessInfo currentProcessInfo();

}  // namespace kx
