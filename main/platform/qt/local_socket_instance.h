// One agent per user: a local socket named from the application id, in a
// folder only this user can enter ($XDG_RUNTIME_DIR, else a private folder of
// the user's cache). The first copy listens and talks only to peers of its own
// user; a later copy learns the first one's executable path and can hand it a
// text (a kestrelixremote: sign-in callback URL) before it quits.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "agent/agent_platform.h"


namespace kx {

class LocalSocketInstance final : public QObject, public SingleInstance {
 public:
  LocalSocketInstance() = default;
  ~LocalSocketInstance() override;

  // Connects to the running copy of `applicationId`. When one answers: hands
  // it `message` (if any) and returns its executable path ("" when it gave
  // none). Otherwise starts listening and returns nullopt. Only the first
  // call does this; later calls return its answer.
  std::optional<std::string> claim(const std::string& applicationId, const std::string& message = {});

  // Where the socket of `applicationId` lives; nullopt without a private folder.
  static std::optional<QString> socketPath(const std::string& applicationId);
  // Whether the peer of a connected local socket runs as this user.
  static bool sameUser(qintptr descriptor);

  std::vector<std::string> otherInstances(const std::string& applicationId) override;

  // Texts handed over by later copies arrive here, on the GUI thread.
  void setMessageHandler(std::function<void(const std::string&)> handler) { handler_ = std::move(handler); }

 private:
  void acceptConnection();

  std::unique_ptr<QLocalServer> server_;
  bool claimed_ = false;
  std::optional<std::string> other_;
  std::function<void(const std::string&)> handler_;
};

}  // namespace kx
