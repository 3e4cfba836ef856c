// The client agent: the one object that owns all agent state for the life of
// the process. It enrolls and registers the computer with the support
// service, polls for support requests, asks the person at the computer for
// consent, shares the display they pick over a real-time peer, applies the
// technician's input, and reports its state (status menu, status file,
// connection details, setup window).
//
// Threads: every method runs on the loop thread. Asynchronous steps are
// tasks in the agent's own TaskScope; each re-checks, after every wait, that
// the session it started for is still current (same `active` id and
// `generation`). Platform callbacks that could outlive the agent hold it weakly.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "agent/agent_platform.h"
#include "agent/consent_lease.h"
#include "media/capture_lifecycle.h"
#include "media/pointer_state.h"
#include "media/session_timeline.h"
#include "protocol/enrollment_configuration.h"
#include "protocol/json.h"
#include "protocol/p256_key.h"
#include "protocol/session_cipher.h"
#include "runtime/task.h"

namespace kx {

class RealtimePeer;
class RealtimeFrameSink;

class RemoteClient {
 public:
  explicit RemoteClient(AgentPlatform platform);
  ~RemoteClient();
  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  // The launch sequence: identity, single instance, menu, settings folder,
  // stored enrollment, permission timer, first-run setup window. The platform
  // routes SIGTERM to quit().
  void start();

  // Menu actions.
  void showTechnician();
  void showSetup();
  void importEnrollment();
  void connectionDetails();
  void enableLogin();
  void inputPermission();
  void endSession();
  void quit();

  // Enrollment and settings.
  Status configure(std::string_view data);
  Status configureFrom(const std::string& path);
  Status saveSettings();
  void enrollWithCode(const std::string& code);

  // Registration (the one registration in flight at a time).
  Task<void> registerDevice();
  // One POST to the service: base + "/api/" + path, JSON body, device key as bearer.
  Task<Expected<Json>> request(std::string path, Json body);

  // One tick of the 0.5-second poll timer.
  Task<void> poll();
  // The session clear every ending goes through. Sends nothing.
  void clear();

  // Capture.
  Task<void> startSelectedCapture(ContentFilter filter);
  void pauseCapture(const std::string& reason);
  void stopCapture();

  // Signalling: a signal from the current peer, sealed and queued for the next contact.
  void queueSignal(Json message);

  // Control messages from the data channel of the peer made for `session`/`epoch`.
  void receiveInput(const Bytes& bytes, const std::string& session, int64_t epoch);
  void input(const Json& message);
  void postPointer(const std::vector<PointerEvent>& events, int clicks = 1);

  // Input permission.
  Task<void> refreshInputAccess();
  void restartForPermissions();

  // Diagnostics. writeStatus() rewrites the status file now;
  // writeStatusIfChanged() only when something but the time stamp changed.
  void writeStatus();
  void writeStatusIfChanged();
  void sendState();
  void updateSetup();

  // State, read by tests and the platform.
  const std::string& active() const { return active_; }
  int64_t generation() const { return generation_; }
  bool processing() const { return processing_; }
  const std::string& device() const { return device_; }
  const std::string& secret() const { return secret_; }
  const std::string& enrollment() const { return enrollment_; }
  const std::string& installation() const { return installation_; }
  const std::string& base() const { return base_; }
  const std::string& captureError() const { return captureError_; }
  const std::string& registrationError() const { return registrationError_; }
  const std::string& rtcState() const { return rtcState_; }
  const CaptureLifecycle& lifecycle() const { return lifecycle_; }
  const PointerState& pointer() const { return pointer_; }
  const ConsentLease& consentLease() const { return consentLease_; }
  const std::vector<std::string>& outgoingSignals() const { return outgoingSignals_; }
  const std::set<std::string>& seenSignals() const { return seenSignals_; }
  const std::optional<EnrollmentConfiguration>& settings() const { return settings_; }
  const InputAccessSnapshot& inputAccess() const { return inputAccess_; }
  const Json& runtimeIdentity() const { return runtimeIdentity_; }
  const Rect& displayBounds() const { return displayBounds_; }
  int64_t lastInputSequence() const { return lastInputSequence_; }
  double nextServicePoll() const { return nextServicePoll_; }
  bool registering() const { return registering_; }
  bool permissionRestartRequired() const { return permissionRestartRequired_; }
  bool restarting() const { return restarting_; }
  bool hasServiceTimer() const { return static_cast<bool>(timer_); }
  bool enrolled() const { return networking_ != nullptr; }
  bool hasSessionKey() const { return sessionKey_.has_value(); }
  RealtimePeer* peer() const { return rtc_.get(); }
  // When each step of the current (or last) session's start happened.
  const SessionTimeline& timeline() const { return timeline_; }
  const std::string& settingsPath() const { return settingsPath_; }
  const std::string& statusPath() const { return auditPath_; }

 private:
  // A capture stream on its way down, with the output it feeds: both stay
  // alive until the stream has confirmed its stop.
  struct RetiredStream {
    // The sink is declared first so that the stream, which calls it, goes first.
    std::unique_ptr<RealtimeFrameSink> sink;
    std::unique_ptr<CaptureStream> stream;
  };

  bool current(const std::string& session, int64_t epoch) const {
    return !session.empty() && active_ == session && generation_ == epoch;
  }
  void setStatusLine(const std::string& text);
  // Starts the end-of-session request for `session`; its outcome is ignored.
  void sendEnd(const std::string& session);
  Task<void> endRequest(std::string session);
  // Ends the session after a failed contact and registers again.
  void failure(const Error& error);
  void stopServiceTimer() { timer_.cancel(); }
  void startPollTimer();
  Task<void> launchSequence();
  Task<void> firstRunSetup();
  Task<void> consentPrompt(Json session);
  Task<Status> postSignals();
  Task<void> receiveSignals(Json signals, std::string session);
  Task<InputAccessSnapshot> readInputAccess();
  Task<void> requestInputAccess();
  Task<void> restartSequence();
  Task<void> quitAfterEnd(std::string session);
  void finishQuit();
  void importFile(const std::string& path);
  void retireStream();
  void approve(const std::string& id);
  void streamStopped(uint64_t serial, const Error& error);
  void peerState(uint64_t peerSerial, const std::string& session, int64_t epoch, const std::string& state);
  Json pollBody() const;
  void markStep(std::string_view step);
  // A contact `seconds` from now, between the timer's ticks (an offer's, its answer's).
  void contactIn(double seconds);
  Json statusObject() const;
  // The platform's "shows the agent is alive" guard for callbacks.
  std::weak_ptr<bool> weak() const { return alive_; }

  AgentPlatform platform_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::string base_;
  std::string enrollment_;
  std::string installation_;
  std::string device_;
  std::string secret_;
  std::string active_;
  std::string technician_;  // who the active session was approved for
  std::string refused_;     // the last request the person denied
  int64_t generation_ = 0;
  bool processing_ = false;
  PointerState pointer_;
  std::string captureError_;
  CaptureLifecycle lifecycle_;
  // The stream calls the sink: it is declared after it, so it is destroyed first.
  std::unique_ptr<RealtimeFrameSink> sink_;
  std::unique_ptr<CaptureStream> stream_;
  uint64_t streamSerial_ = 0;
  std::shared_ptr<RealtimePeer> rtc_;
  uint64_t peerSerial_ = 0;
  std::string rtcState_ = "idle";
  std::vector<std::string> outgoingSignals_;
  std::set<std::string> seenSignals_;
  std::set<std::string> ownSignals_;  // ids of the signals we sealed, never taken as the technician's
  std::unique_ptr<SetupWindowView> setup_;
  std::string auditPath_;
  Json writtenStatus_;  // the status file's content without its time stamp
  Rect displayBounds_;
  Timer timer_;
  std::optional<PinnedConnection> connection_;
  std::shared_ptr<HttpTransport> networking_;
  std::optional<EnrollmentConfiguration> settings_;
  std::string settingsPath_;
  bool registering_ = false;
  std::string registrationError_;
  std::optional<P256PrivateKey> capturePrivateKey_;
  std::optional<SessionCipher> sessionKey_;
  int64_t lastInputSequence_ = 0;
  InputAccessSnapshot inputAccess_ = InputAccessSnapshot::unknownSnapshot();
  Json runtimeIdentity_ = Json::object();
  bool requestingInputAccess_ = false;
  Timer permissionTimer_;
  bool readingInputAccess_ = false;
  bool permissionRestartRequired_ = false;
  ConsentLease consentLease_;
  double nextServicePoll_ = 0;
  SessionTimeline timeline_;
  Timer contactTimer_;  // contactIn()
  bool restarting_ = false;
  bool terminating_ = false;
  Timer quitTimer_;

  // Streams being stopped (with their outputs), kept until the stop completes.
  std::map<uint64_t, RetiredStream> retiredStreams_;

  // Declared last: destroyed first, so no task resumes into a half-destroyed agent.
  TaskScope scope_;
};

}  // namespace kx
