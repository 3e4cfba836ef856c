#include "platform/qt/console_services.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <qt6keychain/keychain.h>

namespace kx {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

bool openInBrowser(const QString& url) {
  // $BROWSER may name a browser (or a list separated by ":").
  for (const QString& browser : qEnvironmentVariable("BROWSER").split(':', Qt::SkipEmptyParts)) {
    if (QProcess::startDetached(browser, {url})) return true;
  }
  if (!QStandardPaths::findExecutable("xdg-open").isEmpty() && QProcess::startDetached("xdg-open", {url})) return true;
  return QDesktopServices::openUrl(QUrl(url));
}

// Keyring calls block on D-Bus; without a session bus there is no keyring.
bool keyringReachable() { return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"); }

constexpr int kKeyringTimeoutMs = 3000;

// Runs a QtKeychain job to completion (or time-out) and returns it.
template <typename JobT>
bool runJob(JobT& job) {
  QEventLoop wait;
  bool finished = false;
  QObject::connect(&job, &QKeychain::Job::finished, &wait, [&] {
    finished = true;
    wait.quit();
  });
  QTimer::singleShot(kKeyringTimeoutMs, &wait, &QEventLoop::quit);
  job.start();
  if (!finished) wait.exec();
  return finished && job.error() == QKeychain::NoError;
}

Error keyringError(const QString& what) { return makeError("Keychain", 1, what.toStdString()); }

}  // namespace

bool BrowserWebSignIn::start(const std::string& url, const std::string& callbackScheme, Completion done) {
  // A new attempt replaces the old one: its completion is never called.
  pending_ = std::move(done);
  scheme_ = callbackScheme;
  return openInBrowser(q(url));
}

bool BrowserWebSignIn::deliver(const std::string& url) {
  if (!pending_ || url.rfind(scheme_ + ":", 0) != 0) return false;
  Completion done = std::move(pending_);
  pending_ = nullptr;
  done(url, std::nullopt);
  return true;
}

std::optional<std::string> SecretServiceKeychain::load(const std::string& service, const std::string& account) {
  if (!keyringReachable()) return std::nullopt;
  QKeychain::ReadPasswordJob job(q(service));
  job.setAutoDelete(false);
  job.setKey(q(account));
  if (!runJob(job)) return std::nullopt;
  const QByteArray data = job.binaryData();
  const QString text = QString::fromUtf8(data);
  if (text.toUtf8() != data) return std::nullopt;  // not valid UTF-8
  return text.toStdString();
}

Status SecretServiceKeychain::save(const std::string& service, const std::string& account, const std::string& secret) {
  if (!keyringReachable()) return keyringError("No keyring is available");
  QKeychain::WritePasswordJob job(q(service));
  job.setAutoDelete(false);
  job.setKey(q(account));
  job.setBinaryData(QByteArray::fromStdString(secret));
  if (!runJob(job)) return keyringError(job.errorString());
  return {};
}

Status SecretServiceKeychain::remove(const std::string& service, const std::string& account) {
  if (!keyringReachable()) return keyringError("No keyring is available");
  QKeychain::DeletePasswordJob job(q(service));
  job.setAutoDelete(false);
  job.setKey(q(account));
  if (!runJob(job)) return keyringError(job.errorString());
  return {};
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
  box->setWindowTitle("Kestrelix Remote — Technician");
  box->setText(q(message));
  box->setInformativeText(q(informative));
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
