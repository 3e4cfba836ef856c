#include "platform/qt/agent_shell.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVBoxLayout>
#include <unistd.h>

#include <utility>

#include "agent/setup_window_content.h"
#include "platform/qt/deliberate_choice.h"
#include "platform/qt/desktop_integration.h"
#include "protocol/platform_texts.h"

namespace kx {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }
QString q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
// Button and menu titles: "&" would otherwise mark a keyboard mnemonic.
QString title(std::string_view text) { return q(text).replace('&', "&&"); }

constexpr const char* kAppName = "Kestrelix Remote Test";

void bringToFront(QWidget* w) {
  w->show();
  w->raise();
  w->activateWindow();
}

// A red dot: the screen is being shared.
QIcon sharingIcon() {
  QPixmap dot(32, 32);
  dot.fill(Qt::transparent);
  QPainter painter(&dot);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(220, 38, 38));
  painter.drawEllipse(4, 4, 24, 24);
  return QIcon(dot);
}

// Texts in alerts come from the service (names, errors) or from files: plain.
void plainTexts(QMessageBox* box) {
  box->setTextFormat(Qt::PlainText);
  showAsPlainText({box->findChild<QLabel*>("qt_msgbox_label"), box->findChild<QLabel*>("qt_msgbox_informativelabel")});
}

}  // namespace

QtStatusMenu::QtStatusMenu() = default;
QtStatusMenu::~QtStatusMenu() = default;

void QtStatusMenu::install(AgentMenuActions actions) {
  endSession_ = actions.endSession;
  menu_ = std::make_unique<QMenu>();
  info_ = menu_->addAction(QString(line_).replace('&', "&&"));
  info_->setEnabled(false);
  const std::pair<const char*, std::function<void()>> items[] = {
      {"Technician console…", actions.showTechnician},
      {"Setup & permissions…", actions.showSetup},
      {"Import enrollment file…", actions.importEnrollment},
      {"Connection details…", actions.connectionDetails},
      {"Start at login", actions.enableLogin},
      {"Enable mouse & keyboard control", actions.inputPermission},
      {"End current session", actions.endSession},
      {"Quit", actions.quit},
  };
  for (const auto& [title, fn] : items) {
    QObject::connect(menu_->addAction(kx::title(title)), &QAction::triggered, menu_.get(), [fn = fn] {
      if (fn) fn();
    });
  }
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = std::make_unique<QSystemTrayIcon>(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
    tray_->setContextMenu(menu_.get());
    tray_->setToolTip(title_);
    tray_->show();
    return;
  }
  // No tray: the same menu as buttons in a small window keeps the agent usable.
  window_ = std::make_unique<QWidget>();
  window_->setWindowTitle(title_);
  auto* layout = new QVBoxLayout(window_.get());
  windowInfo_ = new QLabel(line_);
  windowInfo_->setTextFormat(Qt::PlainText);
  windowInfo_->setWordWrap(true);
  layout->addWidget(windowInfo_);
  for (QAction* action : menu_->actions()) {
    if (action == info_) continue;
    auto* button = new QPushButton(action->text());
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    layout->addWidget(button);
  }
  window_->resize(300, 0);
  window_->show();
}

void QtStatusMenu::setTitle(const std::string& title) {
  title_ = q(title);
  if (tray_) tray_->setToolTip(title_);
  if (window_) window_->setWindowTitle(title_);
}

void QtStatusMenu::setStatusLine(const std::string& text) {
  line_ = q(text);
  if (info_) info_->setText(title(text));
  if (windowInfo_) windowInfo_->setText(line_);
}

void QtStatusMenu::setSharing(const std::optional<std::string>& technician) {
  if (tray_) {
    tray_->setIcon(technician ? sharingIcon() : QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
  }
  if (!technician) {
    sharingBar_.reset();
    return;
  }
  if (!sharingBar_) {
    // A small frameless bar at the top centre of the screen, above every
    // window, that takes no focus from what the person is doing.
    sharingBar_ = std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                                         Qt::WindowDoesNotAcceptFocus);
    sharingBar_->setObjectName("sharingBar");
    sharingBar_->setAttribute(Qt::WA_ShowWithoutActivating);
    auto* row = new QHBoxLayout(sharingBar_.get());
    row->setContentsMargins(12, 6, 6, 6);
    auto* label = new QLabel;
    label->setObjectName("sharingLabel");
    label->setTextFormat(Qt::PlainText);  // the name comes from the service
    auto* stop = new QPushButton("Stop");
    stop->setObjectName("sharingStopButton");
    QObject::connect(stop, &QPushButton::clicked, sharingBar_.get(), [this] {
      if (endSession_) endSession_();
    });
    row->addWidget(label);
    row->addWidget(stop);
  }
  sharingBar_->findChild<QLabel*>("sharingLabel")->setText("Sharing your screen with " + q(*technician));
  sharingBar_->adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    sharingBar_->move(area.center().x() - sharingBar_->width() / 2, area.top());
  }
  sharingBar_->show();
}

void QtAgentDialogs::askConsent(const ConsentPrompt& prompt, std::function<void(ConsentDecision)> done) {
  auto* box = new QMessageBox;
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(QString(kAppName) + " — Support request");
  box->setIcon(QMessageBox::Question);
  box->setText(q(prompt.message));
  box->setInformativeText(q(prompt.informativeText));
  plainTexts(box);
  QPushButton* approve = box->addButton(title(prompt.approveTitle), QMessageBox::AcceptRole);
  approve->setObjectName("approveButton");
  QPushButton* deny = box->addButton(title(prompt.denyTitle), QMessageBox::RejectRole);
  deny->setObjectName("denyButton");
  // Refusing is what Return does; nothing is chosen before the prompt has been seen.
  box->setDefaultButton(deny);
  box->setEscapeButton(deny);
  holdChoiceUntilSeen(box, {approve, deny}, choiceDelayMs_);
  QObject::connect(box, &QMessageBox::finished, box, [box, approve, done = std::move(done)](int) {
    done(box->clickedButton() == approve ? ConsentDecision::kApprove : ConsentDecision::kDeny);
  });
  bringToFront(box);
  deny->setFocus();
}

void QtAgentDialogs::showAlert(const std::string& message, const std::string& informativeText,
                               std::function<void()> dismissed) {
  auto* box = new QMessageBox;
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(kAppName);
  box->setText(q(message));
  box->setInformativeText(q(informativeText));
  plainTexts(box);
  box->setStandardButtons(QMessageBox::Ok);
  QObject::connect(box, &QMessageBox::finished, box, [dismissed = std::move(dismissed)](int) {
    if (dismissed) dismissed();
  });
  bringToFront(box);
}

void QtAgentDialogs::chooseEnrollmentFile(const std::string& title,
                                          std::function<void(std::optional<std::string>)> done) {
  auto* dialog = new QFileDialog(nullptr, q(title), QDir::homePath(), "Enrollment file (*.json)");
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
    const QStringList files = dialog->selectedFiles();
    if (result != QDialog::Accepted || files.isEmpty()) {
      done(std::nullopt);
    } else {
      done(files.first().toStdString());
    }
  });
  bringToFront(dialog);
}

namespace {

class QtSetupWindow final : public SetupWindowView {
 public:
  explicit QtSetupWindow(SetupWindowActions actions) : actions_(std::move(actions)) {
    window_ = std::make_unique<QWidget>();
    window_->setWindowTitle(q(kPlatformTexts.setupWindowTitle));
    window_->setFixedWidth(560);
    window_->setMinimumHeight(620);
    auto* stack = new QVBoxLayout(window_.get());
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(12);
    stack->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* heading = new QLabel(q(kSetupHeading));
    QFont font = heading->font();
    font.setPointSize(23);
    font.setWeight(QFont::DemiBold);
    heading->setFont(font);
    auto* intro = new QLabel(q(kPlatformTexts.setupIntroduction));
    intro->setWordWrap(true);
    enrollment_ = new QLabel;
    codeField_ = new QLineEdit;
    codeField_->setObjectName("setupCode");
    codeField_->setPlaceholderText(q(kSetupCodePlaceholder));
    codeButton_ = new QPushButton(title(kPlatformTexts.setupCodeButton));
    codeButton_->setObjectName("setupCodeButton");
    auto* importButton = new QPushButton(q(kSetupImportButton));
    permission_ = new QLabel;
    permissionButton_ = new QPushButton(title(kSetupPermissionButton));
    detail_ = new QLabel;
    detail_->setWordWrap(true);
    auto* loginButton = new QPushButton(q(kSetupLoginButton));
    doneButton_ = new QPushButton("Done");
    doneButton_->setObjectName("setupDoneButton");
    doneButton_->setDefault(true);  // Return presses it
    doneButton_->setAutoDefault(true);
    auto* technicianButton = new QPushButton(q(kSetupTechnicianButton));
    for (QWidget* w : std::initializer_list<QWidget*>{heading, intro, enrollment_, codeField_, codeButton_, importButton,
                                                      permission_, permissionButton_, detail_, loginButton,
                                                      doneButton_, technicianButton}) {
      const bool fullWidth = w == intro || w == codeField_ || w == detail_;
      stack->addWidget(w, 0, fullWidth ? Qt::Alignment() : Qt::AlignLeft);
    }
    auto call = [](const std::function<void()>& fn) {
      return [fn] {
        if (fn) fn();
      };
    };
    QObject::connect(codeButton_, &QPushButton::clicked, window_.get(), [this] {
      if (actions_.codeEnrollment) actions_.codeEnrollment(codeField_->text().toStdString());
    });
    // Return in the code field enrolls; elsewhere it presses the default button.
    QObject::connect(codeField_, &QLineEdit::returnPressed, codeButton_, &QPushButton::click);
    QObject::connect(importButton, &QPushButton::clicked, window_.get(), call(actions_.enroll));
    QObject::connect(permissionButton_, &QPushButton::clicked, window_.get(), call(actions_.permissions));
    QObject::connect(loginButton, &QPushButton::clicked, window_.get(), call(actions_.login));
    QObject::connect(technicianButton, &QPushButton::clicked, window_.get(), call(actions_.technician));
    QObject::connect(doneButton_, &QPushButton::clicked, window_.get(), [this] {
      if (needsRestart_) {
        if (actions_.restart) actions_.restart();
      } else {
        window_->hide();
      }
    });
    window_->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      window_->move(screen->availableGeometry().center() - window_->rect().center());
    }
  }

  void update(bool enrolled, const std::string& permission, const std::string& error, bool restartRequired) override {
    const SetupWindowContent c = setupWindowContent(enrolled, permission, error, restartRequired);
    needsRestart_ = c.needsRestart;
    doneButton_->setText(title(c.doneTitle));
    codeField_->setVisible(!c.codeEntryHidden);
    codeButton_->setVisible(!c.codeEntryHidden);
    enrollment_->setText(q(c.enrollmentText));
    permission_->setText(q(c.permissionText));
    permissionButton_->setEnabled(c.permissionButtonEnabled);
    detail_->setText(q(c.detailText));
  }

  void show() override { bringToFront(window_.get()); }

 private:
  SetupWindowActions actions_;
  std::unique_ptr<QWidget> window_;
  QLabel* enrollment_ = nullptr;
  QLabel* permission_ = nullptr;
  QLabel* detail_ = nullptr;
  QLineEdit* codeField_ = nullptr;
  QPushButton* codeButton_ = nullptr;
  QPushButton* permissionButton_ = nullptr;
  QPushButton* doneButton_ = nullptr;
  bool needsRestart_ = false;
};

}  // namespace

std::unique_ptr<SetupWindowView> makeQtSetupWindow(SetupWindowActions actions) {
  return std::make_unique<QtSetupWindow>(std::move(actions));
}

Status XdgLoginItem::enable() { return writeAutostartEntry(QCoreApplication::applicationFilePath()); }

Status DetachedRelauncher::launch(const ChildProcess& process) {
  QStringList args;
  for (const auto& a : process.arguments) args << q(a);
  if (!QProcess::startDetached(q(process.executable), args)) {
    return makeError("Relaunch", 1, "Could not start " + process.executable);
  }
  return {};
}

std::optional<std::string> QtPreferences::setupShownVersion() {
  QSettings settings("Kestrelix", kAppName);
  const QVariant v = settings.value("setupShownVersion");
  if (!v.isValid()) return std::nullopt;
  return v.toString().toStdString();
}

void QtPreferences::setSetupShownVersion(const std::string& version) {
  QSettings settings("Kestrelix", kAppName);
  settings.setValue("setupShownVersion", q(version));
}

void QtApplicationControl::terminate() {
  // exit(), not quit(): quit() asks the windows first, and the console
  // window only hides when asked to close.
  auto exit = [] { QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection); };
  if (auto beforeExit = std::exchange(beforeExit_, nullptr)) {
    beforeExit(exit);
  } else {
    exit();
  }
}

void QtApplicationControl::activate() {
  if (QWidget* w = QApplication::activeWindow()) w->activateWindow();
}

void QtWorkspace::openUrl(const std::string& url) { QDesktopServices::openUrl(QUrl(q(url))); }

ProcessInfo currentProcessInfo() {
  ProcessInfo info;
  info.processId = static_cast<int32_t>(getpid());
  info.bundleIdentifier = build::kApplicationId;
  const QString executable = QFileInfo("/proc/self/exe").canonicalFilePath();
  info.executablePath = executable.isEmpty() ? std::nullopt : std::optional(executable.toStdString());
  info.bundlePath = QFileInfo(executable).absolutePath().toStdString();
  // Start time of this process: field 22 of /proc/self/stat (clock ticks after boot).
  QFile stat("/proc/self/stat");
  QFile uptime("/proc/uptime");
  if (stat.open(QIODevice::ReadOnly) && uptime.open(QIODevice::ReadOnly)) {
    const QString s = QString::fromUtf8(stat.readAll());
    const QStringList fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.size() > 19 ? fields[19].toDouble() : 0;
    const double bootUptime = QString::fromUtf8(uptime.readAll()).split(' ').value(0).toDouble();
    const double started = startTicks / static_cast<double>(sysconf(_SC_CLK_TCK));
    info.launchTime = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - (bootUptime - started);
  }
#if defined(__x86_64__)
  info.architecture = "x86_64";
#elif defined(__aarch64__)
  info.architecture = "arm64";
#else
  info.architecture = "unknown";
#endif
  QFile version(QString::fromStdString(info.bundlePath) + "/VERSION");
  if (version.open(QIODevice::ReadOnly)) {
    const QString v = QString::fromUtf8(version.readAll()).trimmed();
    if (!v.isEmpty()) info.onDiskVersion = v.toStdString();
  }
  return info;
}

}  // namespace kx
