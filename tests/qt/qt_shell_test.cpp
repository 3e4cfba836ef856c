// The agent's Qt shell on Xvfb: the menu window, the setup window's texts for
// each state, and the real program starting into its unenrolled state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "platform/qt/agent_shell.h"
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
  QWidget* w = windowTitled("Kestrelix Remote — Set up this Mac");
  ASSERT_NE(w, nullptr);
  const QStringList texts = labelTexts(w);
  EXPECT_TRUE(texts.contains("Ready for remote support"));
  EXPECT_TRUE(texts.contains("1. Enter the setup code supplied by your support team"));
  EXPECT_TRUE(texts.contains("2. Enable mouse & keyboard control"));
  EXPECT_TRUE(texts.contains("macOS may open Accessibility settings. Enable Kestrelix Remote Test there and return "
                             "here; this window updates automatically."));
  auto* code = w->findChild<QLineEdit*>("setupCode");
  ASSERT_NE(code, nullptr);
  EXPECT_TRUE(code->isVisible());
  EXPECT_EQ(code->placeholderText(), "Enter the setup code supplied by your support team");
  ASSERT_NE(buttonTitled(w, "Enroll this Mac"), nullptr);
  ASSERT_NE(buttonTitled(w, "Done"), nullptr);

  // The code goes to the agent exactly as typed.
  code->setText("  ab12-cd34  ");
  buttonTitled(w, "Enroll this Mac")->click();
  EXPECT_EQ(typed, "  ab12-cd34  ");

  // Done hides the window; with a restart required Return restarts instead.
  buttonTitled(w, "Done")->click();
  EXPECT_FALSE(w->isVisible());
  window->update(true, "granted", "", true);
  window->show();
  QApplication::processEvents();
  EXPECT_FALSE(code->isVisible());
  EXPECT_TRUE(labelTexts(w).contains("✓ Mac enrolled"));
  QPushButton* restart = buttonTitled(w, "Restart && recheck permissions");
  ASSERT_NE(restart, nullptr);
  QTest::keyClick(restart, Qt::Key_Return);
  EXPECT_EQ(restarts, 1);
  EXPECT_TRUE(w->isVisible());
  window->update(true, "denied", "KestrelixService (401): Server 401: Unknown device", false);
  EXPECT_TRUE(labelTexts(w).contains("Connection needs attention: KestrelixService (401): Server 401: Unknown device"));
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
  EXPECT_TRUE(tree.contains("Kestrelix Remote — Set up this Mac"));
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
