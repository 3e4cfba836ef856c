// One agent per user: a local socket named from the application id. The first
// copy listens; a later copy learns the first one's executable path and can
// hand it a text (a kestrelixremote: sign-in callback URL) before it quits.
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
  // none). Otherwise starts listening and returns nullopt.
  std::optional<std::string> claim(const std::string& applicationId, const std::string& message = {});

  std::vector<std::string> otherInstances(const std::string& applicationId) override;

  // Texts handed over by later copies arrive here, on the GUI thread.
  void setMessageHandler(std::function<void(const std::string&)> handler) { handler_ = std::move(handler); }

 private:
  void acceptConnection();

  std::unique_ptr<QLocalServer> server_;
  std::function<void(const std::string&)> handler_;
};

}  // namespace kx
