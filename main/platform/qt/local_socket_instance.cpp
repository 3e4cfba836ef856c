#include "platform/qt/local_socket_instance.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <unistd.h>

namespace kx {
namespace {

constexpr int kTimeoutMs = 1500;

// Per user, so two people on one machine each get their agent.
QString socketName(const std::string& applicationId) {
  return QString::fromStdString(applicationId) + "." + QString::number(getuid());
}

}  // namespace

// Wire format: the later copy sends one line (the message, possibly empty);
// the running copy answers with its executable path and a newline.
LocalSocketInstance::~LocalSocketInstance() = default;

std::optional<std::string> LocalSocketInstance::claim(const std::string& applicationId, const std::string& message) {
  if (server_) return std::nullopt;  // we are the running copy
  const QString name = socketName(applicationId);
  QLocalSocket socket;
  socket.connectToServer(name);
  if (socket.waitForConnected(kTimeoutMs)) {
    QByteArray line = QByteArray::fromStdString(message);
    line.replace('\n', ' ');
    socket.write(line + "\n");
    socket.flush();
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(kTimeoutMs)) answer += socket.readAll();
    socket.disconnectFromServer();
    return QString::fromUtf8(answer).trimmed().toStdString();
  }
  // Nobody answers: a socket file left by a crashed copy is stale.
  QLocalServer::removeServer(name);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (server_->listen(name)) {
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
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) return;
      const std::string message = QString::fromUtf8(socket->readLine()).trimmed().toStdString();
      socket->write(QCoreApplication::applicationFilePath().toUtf8() + "\n");
      socket->flush();
      if (!message.empty() && handler_) handler_(message);
    });
  }
}

}  // namespace kx
