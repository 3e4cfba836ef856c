// The agent's Qt shell on Xvfb: the dialogs that grant access, the setup and
// menu windows and the single-instance socket. (The program itself starting
// and quitting is the demo session's.)
// Widgets are found by object name; the dialogs' hold is their own timer, run
// by the test instead of waited for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/qt/agent_shell.h"
#include "platform/qt/display_picker_dialog.h"
#include "platform/qt/local_socket_instance.h"
#include "protocol/platform_texts.h"
#include "support/scratch.h"
#include "support/xvfb.h"

namespace kx {
namespace {

// The visible widget of that name in any window.
template <class W = QWidget>
W* shown(const QString& name) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    if (auto* w = top->objectName() == name ? qobject_cast<W*>(top) : top->findChild<W*>(name)) return w;
  }
  return nullptr;
}

TEST(QtShell, AccessDialogsRefuseByDefaultAndTakeNoChoiceInTheirFirstSecond) {
  std::vector<std::string> answers;
  QtAgentDialogs consent;
  const Display screen{"DP-1", "Display 1", Rect{0, 0, 1440, 900}, true};
  DisplayPickerDialog picker([&] { return std::vector<Display>{screen}; });
  picker.setObserver({[&](ContentFilter f) { answers.push_back("share " + f.displays.at(0).id); },
                      [&] { answers.push_back("cancel"); }, {}});
  picker.setActive(true);
  const ConsentPrompt prompt{"<b>Eve</b> <a href=\"https://evil.test\">requests access</a>", "Verification code: 012345"};
  const struct {
    std::function<void()> open;
    QString confirm, refuse;
    std::string confirmed, refused;
  } dialogs[] = {
      {[&] { consent.askConsent(prompt, [&](ConsentDecision d) { answers.push_back(d == ConsentDecision::kApprove ? "approve" : "deny"); }); },
       "approveButton", "denyButton", "approve", "deny"},
      {[&] { picker.present(); }, "shareButton", "cancelButton", "share DP-1", "cancel"},
  };
  for (const auto& d : dialogs) {
    for (const bool confirmAfterHold : {false, true}) {
      answers.clear();
      d.open();
      auto* confirm = shown<QPushButton>(d.confirm);
      auto* refuse = shown<QPushButton>(d.refuse);
      ASSERT_TRUE(confirm && refuse) << d.confirm.toStdString();
      QWidget* dialog = confirm->window();
      auto* hold = dialog->findChild<QTimer*>("choiceHoldTimer");
      ASSERT_TRUE(hold && hold->isActive() && hold->interval() == 1000);
      EXPECT_TRUE(refuse->isDefault());
      // Keys and clicks meant for another window, as the dialog appears, choose nothing.
      QTest::keyClick(dialog, Qt::Key_Return);
      QTest::keyClick(confirm, Qt::Key_Space);
      QTest::mouseClick(confirm, Qt::LeftButton);
      EXPECT_TRUE(answers.empty()) << answers.front();
      QMetaObject::invokeMethod(hold, "timeout");
      confirmAfterHold ? QTest::mouseClick(confirm, Qt::LeftButton) : QTest::keyClick(dialog, Qt::Key_Return);
      EXPECT_EQ(answers, std::vector<std::string>{confirmAfterHold ? d.confirmed : d.refused});
      QApplication::processEvents();
    }
  }
  // The technician's name shows as typed, never as markup or a link.
  consent.askConsent(prompt, [](ConsentDecision) {});
  QWidget* box = shown("approveButton")->window();
  EXPECT_EQ(box->findChild<QLabel*>("qt_msgbox_label")->text().toStdString(), prompt.message);
  for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
    EXPECT_EQ(box->findChild<QLabel*>(name)->textFormat(), Qt::PlainText) << name;
  }
  box->close();
}

TEST(QtShell, MenuReachesItsActionsAndTheSharingBarAndSetupWindowShowTheirTexts) {
  std::vector<int> pressed;
  AgentMenuActions actions;
  std::function<void()>* slots[] = {&actions.showTechnician,   &actions.showSetup,   &actions.importEnrollment,
                                    &actions.connectionDetails, &actions.enableLogin, &actions.inputPermission,
                                    &actions.endSession,        &actions.quit};
  for (int i = 0; i < 8; ++i) *slots[i] = [&pressed, i] { pressed.push_back(i); };
  QtStatusMenu menu;
  menu.install(actions);
  menu.setTitle("KX menu");  // Xvfb has no system tray: the menu is a window
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->windowTitle() == "KX menu") {
      for (QPushButton* b : top->findChildren<QPushButton*>()) b->click();
    }
  }
  EXPECT_EQ(pressed, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  menu.setSharing("<i>Alex</i>");
  EXPECT_EQ(shown<QLabel>("sharingLabel")->text(), "Sharing your screen with <i>Alex</i>");
  // An enrolled computer whose connection failed, then a new one that must restart.
  auto setup = makeQtSetupWindow({});
  setup->show();
  const std::tuple<bool, const char*, const char*, bool, std::vector<std::string_view>> states[] = {
      {true, "denied", "<b>Server 401</b>", false,
       {kPlatformTexts.setupEnrolled, "2. Enable mouse & keyboard control", "Connection needs attention: <b>Server 401</b>", "Done"}},
      {false, "granted", "", true,
       {"1. Enter the setup code supplied by your support team", "✓ Mouse & keyboard control enabled",
        kPlatformTexts.setupRestartDetail, "Restart && recheck permissions"}},
  };
  for (const auto& [enrolled, permission, error, restart, texts] : states) {
    setup->update(enrolled, permission, error, restart);
    QStringList onScreen{shown<QPushButton>("setupDoneButton")->text()};
    for (QLabel* l : shown("setupDoneButton")->window()->findChildren<QLabel*>()) onScreen << l->text();
    for (std::string_view t : texts) EXPECT_TRUE(onScreen.contains(QString::fromUtf8(t.data(), qsizetype(t.size())))) << t;
  }
}

TEST(QtShell, SingleInstanceSocketIsPrivateAndTalksOnlyToItsOwnUser) {
  QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  const testing::ScopedEnv env("XDG_RUNTIME_DIR", runtime.path().toUtf8().constData());
  LocalSocketInstance first;
  std::vector<std::string> received;
  first.setMessageHandler([&](const std::string& m) { received.push_back(m); });
  ASSERT_FALSE(first.claim("kx.test.app"));
  ASSERT_TRUE(LocalSocketInstance::socketPath("kx.test.app")->startsWith(runtime.path() + "/"));
  // A runtime folder others may enter is passed over for one of our own.
  QTemporaryDir cache;
  const testing::ScopedEnv cacheHome("XDG_CACHE_HOME", cache.path().toUtf8().constData());
  chmod(runtime.path().toUtf8().constData(), 0750);
  EXPECT_TRUE(LocalSocketInstance::socketPath("kx.test.app")->startsWith(cache.path() + "/kestrelix-remote-run/"));
  chmod(runtime.path().toUtf8().constData(), 0700);
  // A connection from another user (nobody, through a socket open to all) is told apart.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_TRUE(LocalSocketInstance::sameUser(pair[0]));
  if (getuid() == 0) {
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/kx-peer", runtime.path().toUtf8().constData());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    chmod(runtime.path().toUtf8().constData(), 0777);
    chmod(address.sun_path, 0777);
    ASSERT_EQ(listen(listener, 1), 0);
    if (fork() == 0) {
      const int s = socket(AF_UNIX, SOCK_STREAM, 0);
      _exit(setuid(65534) == 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : 1);
    }
    const int stranger = accept(listener, nullptr, nullptr);
    wait(nullptr);
    EXPECT_FALSE(LocalSocketInstance::sameUser(stranger));
    close(stranger);
    close(listener);
    chmod(runtime.path().toUtf8().constData(), 0700);
  }
  for (int fd : pair) close(fd);
  // A later copy of this user hands its text over and learns the first's path.
  LocalSocketInstance second;
  std::optional<std::string> answer;
  std::thread later([&] { answer = second.claim("kx.test.app", "kestrelixremote://admin-sign-in?code=c"); });
  QTRY_VERIFY_WITH_TIMEOUT(!received.empty(), 10000);
  later.join();
  EXPECT_EQ(received, std::vector<std::string>{"kestrelixremote://admin-sign-in?code=c"});
  EXPECT_TRUE(answer && !answer->empty());
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kx::testing::Xvfb xvfb("1440x900x24");
  if (!xvfb.running()) return 1;
  const kx::testing::ScopedEnv display("DISPLAY", xvfb.name().c_str());
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
