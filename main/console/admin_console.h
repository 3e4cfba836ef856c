// The technician console: signs a technician in through the service's web
// portal, lists the technician's Macs, creates setup codes, and runs one
// remote-control session at a time (access request, sealed signalling through
// the service, the input channel with its round-trip measurement).
//
// Everything runs on the loop thread. Asynchronous steps are tasks in the
// console's own scope, so none outlives it, and each re-checks after every
// await that the session id and `epoch` are still the ones it started with.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "console/console_platform.h"
#include "console/remote_input_view.h"
#include "media/session_timeline.h"
#include "protocol/build_config.h"
#include "protocol/encoding.h"
#include "protocol/http.h"
#include "protocol/json.h"
#include "protocol/platform_texts.h"
#include "protocol/session_cipher.h"
#include "runtime/error.h"
#include "runtime/event_loop.h"
#include "runtime/task.h"

namespace kx {

class AdminPeer;

// The service and portal origins, without a trailing slash. Tests point them elsewhere.
struct ConsoleAddresses {
  std::string apiBase = build::kServiceAddress;
  std::string portalBase = build::kPortalAddress;
  // The one host requests may go to (the host of apiBase).
  std::string serviceHost = build::kServiceHost;
};

// The text an error shows in the status line: its description, or for errors
// that carry none the generic wording "The operation couldn’t be completed.
// (<domain> error <code>.)".
std::string describeError(const Error& error);

// One line of the audit log: "2026-12-06 21:05 UTC · decision · Studio · denied"
// (empty fields left out). Every field is the service's text, shown as is.
std::string auditLine(const Json& entry);

// RFC 7636 S256 code challenge: base64url(SHA-256(verifier)).
std::string pkceChallenge(const std::string& verifier);

class AdminConsole {
 public:
  static constexpr double kPollInterval = 0.5;
  static constexpr double kPingInterval = 2.0;
  static constexpr size_t kMaxOutgoingSignals = 128;
  static constexpr size_t kMaxSignalsPerPost = 8;
  static constexpr size_t kMaxSeenSignals = 512;
  static constexpr double kSilenceLimit = 6.0;
  static constexpr char kKeychainService[] = "com.kestrelix.remote.native-admin";
  static constexpr char kCallbackScheme[] = "kestrelixremote";
  // How long a sign-in waits for the browser to come back.
  static constexpr double kSignInTimeout = 300;
  // How long quitting waits for the end request of a running session.
  static constexpr double kQuitTimeout = 2;
  static constexpr size_t kMaxActivityLines = 50;

  // `selfDevice` returns the device id of the computer the console runs on,
  // or empty text. Loads the stored token and starts the poll and ping timers.
  AdminConsole(ConsolePlatform platform, std::function<std::string()> selfDevice,
               ConsoleAddresses addresses = {});
  ~AdminConsole();
  AdminConsole(const AdminConsole&) = delete;
  AdminConsole& operator=(const AdminConsole&) = delete;

  // Window and button actions.
  void show();
  void signIn();
  // The sign-in's "Cancel": stops waiting for the browser.
  void cancelSignIn();
  void signOut();
  void fullScreen();
  void refreshList();
  void createCode();
  // "Recent activity": the audit entries of the technician's own devices and sessions.
  void showActivity();
  // "Request access" of row `index` of the device list.
  void connectDevice(size_t index);
  void end();
  // "End session": ends it and says so.
  void endPressed();
  // Ends the running session and calls `done` once its end request is
  // answered, or after kQuitTimeout at the latest; at once without a session.
  void quit(std::function<void()> done);
  void windowWillClose();
  void windowDidResignKey();

  // One service call: apiBase + "/api/admin/" + path with the bearer token; GET
  // without a body, POST with a JSON body. Errors carry a text fit to show.
  Task<Expected<Json>> request(std::string path, std::optional<Json> body);
  // The same with a token of the caller's (one that is being dropped).
  Task<Expected<Json>> request(std::string path, std::optional<Json> body, std::string token);
  // Reloads identity and devices; errors go to the status line.
  Task<void> refresh();
  void renderDevices();
  // One poll cycle of the running session (the 0.5 s timer starts it).
  Task<void> poll();
  // Seals one outgoing signalling message and queues it for the next poll.
  void queueSignal(Json message);
  // Filters by what the Mac understands, numbers, seals and sends one control message.
  void sendInput(Json message);
  // Every 2 s: keeps a held button alive, pings, and ends a silent session.
  void ping();
  // One envelope from the Mac's data channel, for the session of `epoch`.
  void receive(const Bytes& envelope, int64_t epoch);

  // 32 random bytes as base64url text: a PKCE verifier.
  static std::string random(size_t byteCount);

  RemoteInputView& display() { return display_; }

  // State, for the window and for tests.
  const std::string& token() const { return token_; }
  const std::string& sid() const { return sid_; }
  int64_t epoch() const { return epoch_; }
  // When each step of the current (or last) session's start happened.
  const SessionTimeline& timeline() const { return timeline_; }
  // The timelines of this run's sessions, oldest first (the first few only).
  Json timelines() const;
  int64_t sequence() const { return sequence_; }
  bool busy() const { return busy_; }
  bool signingIn() const { return signIn_.has_value(); }
  bool canControl() const { return canControl_; }
  int64_t controlVersion() const { return controlVersion_; }
  double lastPong() const { return lastPong_; }
  double nextServicePoll() const { return nextServicePoll_; }
  const std::vector<Json>& devices() const { return devices_; }
  const std::deque<std::string>& outgoing() const { return outgoing_; }
  size_t seenCount() const { return seen_.size(); }
  bool hasPeer() const { return peer_ != nullptr; }
  const std::optional<SessionCipher>& cipher() const { return cipher_; }
  const std::string& identity() const { return identity_; }
  const std::string& status() const { return status_; }
  const std::string& measurement() const { return measurement_; }

 private:
  void signInCallback(std::optional<std::string> callbackUrl, std::optional<Error> error, uint64_t attempt);
  // Ends the sign-in in flight (if any) with `status` in the status line.
  void stopSignIn(std::string status);
  Task<void> exchange(std::string code, std::string verifier);
  Task<void> requestAccess(size_t index);
  Task<Status> pollCycle(std::string session, int64_t sessionEpoch);
  // Posts the oldest queued signals (at most 8) and takes them off the queue.
  Task<Status> postOutgoing(std::string session);
  Task<void> makeSetupCode();
  Task<void> loadActivity();
  Task<void> sendLogout(std::string token);
  // Everything end() does but the end request; returns the session it closed ("" for none).
  std::string closeSession();
  Task<void> sendEnd(std::string session, std::string token);
  Task<void> quitAfterEnd(std::string session, std::string token);
  void finishQuit();

  HttpTransport& transport();
  void saveToken(const std::string& token);
  void tokenLoaded(std::optional<std::string> token);
  void setIdentity(std::string text);
  void setStatus(std::string text);
  void setMeasurement(std::string text);
  bool isCurrent(const std::string& session, int64_t sessionEpoch) const {
    return sid_ == session && epoch_ == sessionEpoch;
  }
  // Wraps `fn` so that it does nothing once the console is gone.
  template <typename... Args>
  std::function<void(Args...)> guarded(std::type_identity_t<std::function<void(AdminConsole&, Args...)>> fn);

  EventLoop& loop_;
  Clock& clock_;
  ConsoleWindowView& view_;
  WebSignIn& webSignIn_;
  Keychain& keychain_;
  Pasteboard& pasteboard_;
  ConsoleDialogs& dialogs_;
  PeerEngine& peerEngine_;
  std::function<std::unique_ptr<HttpTransport>()> makeHttpTransport_;
  std::function<std::string()> selfDevice_;
  const std::string apiBase_;
  const std::string portalBase_;
  Expected<PinnedConnection> pinned_;
  std::unique_ptr<HttpTransport> networking_;

  RemoteInputView display_;
  std::string identity_ = std::string(kPlatformTexts.signInPrompt);
  std::string status_;
  std::string measurement_;
  std::vector<Json> devices_;
  std::string token_;
  std::string sid_;
  int64_t sequence_ = 0;
  int64_t epoch_ = 0;
  bool busy_ = false;
  bool canControl_ = false;
  double lastPong_ = 0;
  int64_t controlVersion_ = 2;
  double nextServicePoll_ = 0;
  SessionTimeline timeline_;
  Json pastTimelines_ = Json::array();
  bool requesting_ = false;  // an access request is in flight
  std::optional<SessionCipher> cipher_;
  // Shared so that an accept() in flight keeps the peer alive after end().
  std::shared_ptr<AdminPeer> peer_;
  std::deque<std::string> outgoing_;
  std::set<std::string> seen_;
  std::set<std::string> own_;  // ids of the signals we sealed, never taken as the computer's

  // The sign-in waiting for the browser.
  struct SignInAttempt {
    uint64_t id;
    std::string state;
    std::string verifier;
  };
  std::optional<SignInAttempt> signIn_;
  uint64_t signInAttempts_ = 0;
  Timer signInTimer_;
  bool shown_ = false;
  bool tokenChanged_ = false;  // signed in or out since the stored token was asked for
  std::function<void()> quitDone_;
  Timer quitTimer_;

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  Timer timer_;
  Timer metricsTimer_;
  TaskScope scope_;  // last: its tasks die before anything they use
};

}  // namespace kx
