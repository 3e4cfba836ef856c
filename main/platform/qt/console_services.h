// The console's platform services on Linux: web sign-in in the system
// browser, the Secret Service keyring, the clipboard and the setup-code alert.
#pragma once

#include <QObject>

#include "console/console_platform.h"

namespace kx {

// Opens the portal page in the browser ($BROWSER, else xdg-open, else Qt's
// default) and completes when the app receives the kestrelixremote: callback
// URL (deliver()), normally handed over by a second copy of the app.
class BrowserWebSignIn final : public WebSignIn {
 public:
  bool start(const std::string& url, const std::string& callbackScheme, Completion done) override;
  // A URL received by this process. Returns true when it belonged to the
  // attempt in progress (whose completion then runs).
  bool deliver(const std::string& url);

 private:
  std::string scheme_;
  Completion pending_;
};

// libsecret through QtKeychain. Without a session bus or keyring every call
// fails fast and the token lives for the run only.
class SecretServiceKeychain final : public Keychain {
 public:
  std::optional<std::string> load(const std::string& service, const std::string& account) override;
  Status save(const std::string& service, const std::string& account, const std::string& secret) override;
  Status remove(const std::string& service, const std::string& account) override;
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
