#include "platform/qt/local_socket_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {
namespace {

constexpr int kTimeoutMs = 1500;
constexpr qint64 kMaxMessage = 4096;

// A folder only this user can enter: a socket there cannot be squatted,
// replaced or reached by another user.
bool isPrivateFolder(const QString& path) {
  struct stat info {};
  if (lstat(QFile::encodeName(path).constData(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 077) == 0;
}

std::optional<QString> privateFolder() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.startsWith('/') && isPrivateFolder(runtime)) return runtime;
  // No runtime folder: one of our own in the cache folder, never in /tmp.
  const QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  const QString folder = (cache.startsWith('/') ? cache : QDir::homePath() + "/.cache") + "/kestrelix-remote-run";
  QDir().mkpath(folder);
  chmod(QFile::encodeName(folder).constData(), 0700);
  if (isPrivateFolder(folder)) return folder;
  return std::nullopt;
}

}  // namespace

std::optional<QString> LocalSocketInstance::socketPath(const std::string& applicationId) {
  const auto folder = privateFolder();
  if (!folder) return std::nullopt;
  return *folder + "/" + QString::fromStdString(applicationId) + ".socket";
}

bool LocalSocketInstance::sameUser(qintptr descriptor) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return size == sizeof peer && peer.uid == getuid();
}

// Wire format: the later copy sends one line (the message, possibly empty);
// the running copy answers with its executable path and a newline.
LocalSocketInstance::~LocalSocketInstance() = default;

std::optional<std::string> LocalSocketInstance::claim(const std::string& applicationId, const std::string& message) {
  if (claimed_) return other_;
  claimed_ = true;
  const auto path = socketPath(applicationId);
  if (!path) {
    fprintf(stderr, "kestrelix-remote: no private folder for the single-instance socket\n");
    return std::nullopt;
  }
  QLocalSocket socket;
  socket.connectToServer(*path);
  if (socket.waitForConnected(kTimeoutMs) && sameUser(socket.socketDescriptor())) {
    QByteArray line = QByteArray::fromStdString(message);
    line.replace('\n', ' ');
    socket.write(line + "\n");
    socket.flush();
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaxMessage && socket.waitForReadyRead(kTimeoutMs)) {
      answer += socket.readAll();
    }
    socket.disconnectFromServer();
    other_ = QString::fromUtf8(answer).trimmed().toStdString();
    return other_;
  }
  // Nobody answers: a socket file left by a crashed copy is stale.
  QLocalServer::removeServer(*path);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (server_->listen(*path)) {
    connect(server_.get(), &QLocalServer::newConnection, this, &LocalSocketInstance::acceptConnection);
  }
  return std::nullopt;
}

std::vector<std::string> LocalSocketInstance::otherInstances(const std::string& applicationId) {
  if (auto other = claim(applicationId)) return {*other};
  return {};
}

void LocalSocketInstance::acceptConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!sameUser(socket->socketDescriptor())) {
      // Another user's program: it gets neither an answer nor a hearing.
      socket->abort();
      socket->deleteLater();
      continue;
    }
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessage) socket->abort();
        return;
      }
      const std::string message = QString::fromUtf8(socket->readLine(kMaxMessage)).trimmed().toStdString();
      socket->write(QCoreApplication::applicationFilePath().toUtf8() + "\n");
      socket->flush();
      if (!message.empty() && handler_) handler_(message);
    });
  }
}

}  // namespace kx
