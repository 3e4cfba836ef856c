// The console's platform services on Linux: web sign-in in the system
// browser, the Secret Service keyring, the clipboard and the setup-code alert.
#pragma once

#include <QObject>

#include "console/console_platform.h"

namespace kx {

// Opens the portal page in the browser ($BROWSER, else xdg-open, else Qt's
// default) and completes when the app receives the kestrelixremote: callback
// URL (deliver()), normally handed over by a second copy of the app.
class BrowserWebSignIn final : public QObject, public WebSignIn {
 public:
  ~BrowserWebSignIn() override;
  bool start(const std::string& url, const std::string& callbackScheme, Completion done) override;
  void cancel() override;
  // A URL received by this process. Returns true when it was handed to the
  // attempt in progress.
  bool deliver(const std::string& url);

 private:
  std::string scheme_;
  Completion pending_;
  uint64_t attempts_ = 0;  // a failure report of an earlier attempt is stale
};

// libsecret through QtKeychain. Without a session bus or keyring every call
// fails fast and the token lives for the run only.
class SecretServiceKeychain final : public Keychain {
 public:
  void load(const std::string& service, const std::string& account,
            std::function<void(std::optional<std::string>)> done) override;
  void save(const std::string& service, const std::string& account, const std::string& secret,
            std::function<void(Status)> done) override;
  void remove(const std::string& service, const std::string& account, std::function<void(Status)> done) override;
};

class QtPasteboard final : public Pasteboard {
 public:
  void setText(const std::string& text) override;
};

class QtConsoleDialogs final : public ConsoleDialogs {
 public:
  void showSetupCode(const std::string& message, const std::string& informative,
                     std::function<void(SetupCodeChoice)> done) override;
};

}  // namespace kx
