#include "platform/qt/console_services.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <qt6keychain/keychain.h>

#include <memory>
#include <utility>

#include "platform/qt/deliberate_choice.h"

namespace kx {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// Keyring calls go over D-Bus; without a session bus there is no keyring.
bool keyringReachable() { return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"); }

constexpr int kKeyringTimeoutMs = 3000;

Error keyringError(const QString& what) { return makeError("Keychain", 1, what.toStdString()); }

// Starts a QtKeychain job and reports its end once, on the main loop: when
// it finishes, or as failed after kKeyringTimeoutMs. `finished` gets the job
// when it succeeded and nullptr otherwise, with the reason.
void runJob(QKeychain::Job* job, std::function<void(QKeychain::Job*, const QString& reason)> finished) {
  auto pending = std::make_shared<std::function<void(QKeychain::Job*, const QString&)>>(std::move(finished));
  job->setAutoDelete(true);  // the job deletes itself after finished()
  QObject::connect(job, &QKeychain::Job::finished, job, [pending](QKeychain::Job* done) {
    if (auto report = std::exchange(*pending, nullptr)) {
      report(done->error() == QKeychain::NoError ? done : nullptr, done->errorString());
    }
  });
  QTimer::singleShot(kKeyringTimeoutMs, job, [pending] {
    if (auto report = std::exchange(*pending, nullptr)) report(nullptr, "The keyring did not answer");
  });
  job->start();
}

}  // namespace

BrowserWebSignIn::~BrowserWebSignIn() = default;

bool BrowserWebSignIn::start(const std::string& url, const std::string& callbackScheme, Completion done) {
  // A new attempt replaces the old one: its completion is never called.
  pending_ = std::move(done);
  scheme_ = callbackScheme;
  const QString address = q(url);
  // $BROWSER may name a browser (or a list separated by ":").
  for (const QString& browser : qEnvironmentVariable("BROWSER").split(':', Qt::SkipEmptyParts)) {
    if (QProcess::startDetached(browser, {address})) return true;
  }
  const QString opener = QStandardPaths::findExecutable("xdg-open");
  if (opener.isEmpty()) return QDesktopServices::openUrl(QUrl(address));
  // xdg-open reports a desktop without a browser only through its exit code.
  // The process object is never destroyed while it runs (that would kill a
  // browser xdg-open waits for).
  auto* process = new QProcess;
  const uint64_t attempt = ++attempts_;
  QPointer<BrowserWebSignIn> self(this);
  QObject::connect(process, &QProcess::finished, process, [self, process, attempt](int code, QProcess::ExitStatus) {
    process->deleteLater();
    if (code == 0 || !self || self->attempts_ != attempt || !self->pending_) return;
    Completion report = self->pending_;
    report(std::nullopt, makeError("WebSignIn", code,
                                   "Could not open the browser for sign-in (xdg-open failed with status " +
                                       std::to_string(code) + ")"));
  });
  QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) process->deleteLater();
  });
  process->start(opener, {address});
  return process->waitForStarted(kKeyringTimeoutMs);
}

void BrowserWebSignIn::cancel() {
  pending_ = nullptr;
  ++attempts_;
}

bool BrowserWebSignIn::deliver(const std::string& url) {
  if (!pending_ || url.rfind(scheme_ + ":", 0) != 0) return false;
  // Kept: a URL that is not the attempt's own leaves it waiting for the right one.
  Completion done = pending_;
  done(url, std::nullopt);
  return true;
}

void SecretServiceKeychain::load(const std::string& service, const std::string& account,
                                 std::function<void(std::optional<std::string>)> done) {
  if (!keyringReachable()) {
    done(std::nullopt);
    return;
  }
  auto* job = new QKeychain::ReadPasswordJob(q(service));
  job->setKey(q(account));
  runJob(job, [done = std::move(done)](QKeychain::Job* finished, const QString&) {
    auto* read = static_cast<QKeychain::ReadPasswordJob*>(finished);
    if (!read) {
      done(std::nullopt);
      return;
    }
    const QByteArray data = read->binaryData();
    const QString text = QString::fromUtf8(data);
    if (text.toUtf8() != data) {
      done(std::nullopt);  // not valid UTF-8
      return;
    }
    done(text.toStdString());
  });
}

void SecretServiceKeychain::save(const std::string& service, const std::string& account, const std::string& secret,
                                 std::function<void(Status)> done) {
  if (!keyringReachable()) {
    done(keyringError("No keyring is available"));
    return;
  }
  auto* job = new QKeychain::WritePasswordJob(q(service));
  job->setKey(q(account));
  job->setBinaryData(QByteArray::fromStdString(secret));
  runJob(job, [done = std::move(done)](QKeychain::Job* finished, const QString& reason) {
    done(finished ? Status{} : Status(keyringError(reason)));
  });
}

void SecretServiceKeychain::remove(const std::string& service, const std::string& account,
                                   std::function<void(Status)> done) {
  if (!keyringReachable()) {
    done(keyringError("No keyring is available"));
    return;
  }
  auto* job = new QKeychain::DeletePasswordJob(q(service));
  job->setKey(q(account));
  runJob(job, [done = std::move(done)](QKeychain::Job* finished, const QString& reason) {
    done(finished ? Status{} : Status(keyringError(reason)));
  });
}

void QtPasteboard::setText(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(q(text));
}

void QtConsoleDialogs::showSetupCode(const std::string& message, const std::string& informative,
                                     std::function<void(SetupCodeChoice)> done) {
  auto* box = new QMessageBox;
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  box->setWindowTitle("Kestrelix Remote — Technician");
  box->setText(q(message));
  box->setInformativeText(q(informative));
  box->setTextFormat(Qt::PlainText);
  showAsPlainText({box->findChild<QLabel*>("qt_msgbox_label"), box->findChild<QLabel*>("qt_msgbox_informativelabel")});
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPushButton* copy = box->addButton("Copy code", QMessageBox::AcceptRole);
  box->addButton("Close", QMessageBox::RejectRole);
  box->setDefaultButton(copy);
  QObject::connect(box, &QMessageBox::finished, box, [box, copy, done = std::move(done)](int) {
    done(box->clickedButton() == copy ? SetupCodeChoice::kCopyCode : SetupCodeChoice::kClose);
  });
  box->show();
  box->raise();
  box->activateWindow();
}

}  // namespace kx
