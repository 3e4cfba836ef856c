// The agent's Qt shell on Xvfb: the menu window, the setup window's texts for
// each state, and the real program starting into its unenrolled state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/qt/agent_shell.h"
#include "platform/qt/local_socket_instance.h"
#include "support/scratch.h"
#include "support/xvfb.h"

namespace kx {
namespace {

// A private Xvfb for the whole test program, named by DISPLAY while it runs.
class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    xvfb_ = std::make_unique<testing::Xvfb>("1440x900x24");
    ASSERT_TRUE(xvfb_->running()) << "Xvfb did not start";
    display_ = std::make_unique<testing::ScopedEnv>("DISPLAY", xvfb_->name().c_str());
  }
  void TearDown() override {
    display_.reset();
    xvfb_.reset();
  }

 private:
  std::unique_ptr<testing::Xvfb> xvfb_;
  std::unique_ptr<testing::ScopedEnv> display_;
};

QWidget* windowTitled(const QString& title) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && w->windowTitle() == title) return w;
  }
  return nullptr;
}

QStringList labelTexts(QWidget* w) {
  QStringList texts;
  for (QLabel* l : w->findChildren<QLabel*>()) {
    if (l->isVisible()) texts << l->text();
  }
  return texts;
}

QPushButton* buttonTitled(QWidget* w, const QString& text) {
  for (QPushButton* b : w->findChildren<QPushButton*>()) {
    if (b->text() == text) return b;
  }
  return nullptr;
}

class QtShell : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "kx_qt_shell_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  static QApplication* app_;
};
QApplication* QtShell::app_ = nullptr;

TEST_F(QtShell, SetupWindowShowsTheUnenrolledChecklist) {
  int restarts = 0;
  std::string typed;
  SetupWindowActions actions;
  actions.restart = [&] { ++restarts; };
  actions.codeEnrollment = [&](const std::string& code) { typed = code; };
  auto window = makeQtSetupWindow(actions);
  window->update(false, "unknown", "", false);
  window->show();
  QApplication::processEvents();
  QWidget* w = windowTitled("Kestrelix Remote — Set up this computer");
  ASSERT_NE(w, nullptr);
  const QStringList texts = labelTexts(w);
  EXPECT_TRUE(texts.contains("Ready for remote support"));
  EXPECT_TRUE(texts.contains("1. Enter the setup code supplied by your support team"));
  EXPECT_TRUE(texts.contains("2. Enable mouse & keyboard control"));
  EXPECT_TRUE(texts.contains("Mouse & keyboard control needs the XTest extension of this display's X server; this "
                             "window updates automatically."));
  auto* code = w->findChild<QLineEdit*>("setupCode");
  ASSERT_NE(code, nullptr);
  EXPECT_TRUE(code->isVisible());
  EXPECT_EQ(code->placeholderText(), "Enter the setup code supplied by your support team");
  ASSERT_NE(buttonTitled(w, "Enroll this computer"), nullptr);
  ASSERT_NE(buttonTitled(w, "Done"), nullptr);

  // The code goes to the agent exactly as typed, by the button or by Return in the field.
  code->setText("  ab12-cd34  ");
  buttonTitled(w, "Enroll this computer")->click();
  EXPECT_EQ(typed, "  ab12-cd34  ");
  code->setText("EF56");
  QTest::keyClick(code, Qt::Key_Return);
  EXPECT_EQ(typed, "EF56");
  EXPECT_TRUE(w->isVisible());

  // Done hides the window; with a restart required Return restarts instead.
  buttonTitled(w, "Done")->click();
  EXPECT_FALSE(w->isVisible());
  window->update(true, "granted", "", true);
  window->show();
  QApplication::processEvents();
  EXPECT_FALSE(code->isVisible());
  EXPECT_TRUE(labelTexts(w).contains("✓ Computer enrolled"));
  QPushButton* restart = buttonTitled(w, "Restart && recheck permissions");
  ASSERT_NE(restart, nullptr);
  QTest::keyClick(restart, Qt::Key_Return);
  EXPECT_EQ(restarts, 1);
  EXPECT_TRUE(w->isVisible());
  window->update(true, "denied", "KestrelixService (401): Server 401: Unknown device", false);
  EXPECT_TRUE(labelTexts(w).contains("Connection needs attention: KestrelixService (401): Server 401: Unknown device"));
}

TEST_F(QtShell, ConsentPromptRefusesByDefaultTakesNoEarlyInputAndShowsNamesAsTyped) {
  QtAgentDialogs dialogs(/*choiceDelayMs=*/200);
  std::vector<ConsentDecision> decisions;
  ConsentPrompt prompt;
  prompt.message = "<b>Eve</b> <a href=\"https://evil.test\">requests access</a>";
  prompt.informativeText = "Verification code: 012345";
  dialogs.askConsent(prompt, [&](ConsentDecision d) { decisions.push_back(d); });
  QMessageBox* box = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) box = b;
  }
  ASSERT_NE(box, nullptr);
  auto* approve = box->findChild<QPushButton*>("approveButton");
  auto* deny = box->findChild<QPushButton*>("denyButton");
  ASSERT_TRUE(approve && deny);
  EXPECT_EQ(box->defaultButton(), deny);
  // A key meant for another window, pressed as the prompt appears, chooses nothing.
  EXPECT_FALSE(approve->isEnabled());
  QTest::keyClick(box, Qt::Key_Return);
  QTest::keyClick(box, Qt::Key_Space);
  approve->click();
  EXPECT_TRUE(decisions.empty());
  EXPECT_TRUE(labelTexts(box).contains(QString::fromStdString(prompt.message)));
  for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
    ASSERT_NE(box->findChild<QLabel*>(name), nullptr) << name;
    EXPECT_EQ(box->findChild<QLabel*>(name)->textFormat(), Qt::PlainText) << name;
  }
  // Once it has been seen, Return refuses.
  QTRY_VERIFY_WITH_TIMEOUT(approve->isEnabled(), 5000);
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(decisions, std::vector<ConsentDecision>{ConsentDecision::kDeny});
}

TEST_F(QtShell, SharingBarNamesTheTechnicianAndStopEndsTheSession) {
  int ends = 0;
  QtStatusMenu menu;
  AgentMenuActions actions;
  actions.endSession = [&] { ++ends; };
  menu.install(actions);
  menu.setSharing("<i>Alex</i>");
  QWidget* bar = menu.sharingBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->isVisible());
  EXPECT_TRUE(bar->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(labelTexts(bar), QStringList{"Sharing your screen with <i>Alex</i>"});
  bar->findChild<QPushButton*>("sharingStopButton")->click();
  EXPECT_EQ(ends, 1);
  menu.setSharing(std::nullopt);
  EXPECT_EQ(menu.sharingBar(), nullptr);
}

TEST_F(QtShell, SingleInstanceSocketIsPrivateAndTalksOnlyToItsOwnUser) {
  QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  LocalSocketInstance first;
  std::vector<std::string> received;
  first.setMessageHandler([&](const std::string& m) { received.push_back(m); });
  ASSERT_FALSE(first.claim("kx.test.app"));
  const auto path = LocalSocketInstance::socketPath("kx.test.app");
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->startsWith(runtime.path() + "/"));

  // Nobody else can enter the folder; and a peer of another user that got a
  // connection anyway (through an open socket, say) is told apart.
  struct stat info {};
  ASSERT_EQ(stat(runtime.path().toUtf8().constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);
  if (getuid() == 0) {
    const std::string open = QDir::tempPath().toStdString() + "/kx-peer-" + std::to_string(getpid());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", open.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    chmod(open.c_str(), 0777);
    ASSERT_EQ(listen(listener, 2), 0);
    const pid_t child = fork();
    if (child == 0) {
      const int s = socket(AF_UNIX, SOCK_STREAM, 0);
      _exit(setuid(65534) == 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : 1);
    }
    const int stranger = accept(listener, nullptr, nullptr);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(LocalSocketInstance::sameUser(stranger));
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_TRUE(LocalSocketInstance::sameUser(pair[0]));
    for (int fd : {stranger, pair[0], pair[1], listener}) close(fd);
    unlink(open.c_str());
  }

  // A later copy of this user hands its text over and learns the first's path.
  LocalSocketInstance second;
  std::optional<std::string> answer;
  std::thread later([&] { answer = second.claim("kx.test.app", "kestrelixremote://admin-sign-in?code=c"); });
  QTRY_VERIFY_WITH_TIMEOUT(!received.empty(), 10000);
  later.join();
  EXPECT_EQ(received, std::vector<std::string>{"kestrelixremote://admin-sign-in?code=c"});
  EXPECT_TRUE(answer && !answer->empty());
  qunsetenv("XDG_RUNTIME_DIR");
}

TEST_F(QtShell, MenuWithoutTrayIsAWindowWithTheStatusLineFirst) {
  int quits = 0;
  QtStatusMenu menu;
  AgentMenuActions actions;
  actions.quit = [&] { ++quits; };
  menu.install(actions);
  ASSERT_FALSE(menu.usesTray());  // Xvfb has no system tray
  menu.setStatusLine("Online · awaiting requests");
  menu.setTitle("● KX Sharing");
  QApplication::processEvents();
  QWidget* w = windowTitled("● KX Sharing");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(labelTexts(w).value(0), "Online · awaiting requests");
  QStringList buttons;
  for (QPushButton* b : w->findChildren<QPushButton*>()) buttons << b->text();
  EXPECT_EQ(buttons, (QStringList{"Technician console…", "Setup && permissions…", "Import enrollment file…",
                                  "Connection details…", "Start at login", "Enable mouse && keyboard control",
                                  "End current session", "Quit"}));
  buttonTitled(w, "Quit")->click();
  EXPECT_EQ(quits, 1);
}

TEST_F(QtShell, ProgramStartsUnenrolledWithItsSetupWindow) {
  QTemporaryDir home;
  QProcess app;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_DATA_HOME", home.path() + "/data");
  env.insert("XDG_CONFIG_HOME", home.path() + "/config");
  env.insert("TMPDIR", home.path());
  app.setProcessEnvironment(env);
  app.start(KX_APP_BINARY, {});
  ASSERT_TRUE(app.waitForStarted(5000));
  // The status file appears with the first permission refresh.
  const QString status = home.path() + "/data/Kestrelix Remote Test/client-status.json";
  for (int i = 0; i < 100 && !QFile::exists(status); ++i) QTest::qWait(100);
  EXPECT_TRUE(QFile::exists(status));
  QProcess wininfo;
  wininfo.start("xwininfo", {"-root", "-tree"});
  wininfo.waitForFinished(5000);
  const QString tree = QString::fromUtf8(wininfo.readAllStandardOutput());
  EXPECT_TRUE(tree.contains("Kestrelix Remote — Set up this computer"));
  EXPECT_TRUE(tree.contains("\"KX Test\""));
  // SIGTERM quits through the agent's own path.
  app.terminate();
  ASSERT_TRUE(app.waitForFinished(5000));
  EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app.exitCode(), 0);
}

}  // namespace
}  // namespace kx

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new kx::XvfbEnvironment);
  return RUN_ALL_TESTS();
}
