// The client agent on fakes and virtual time: launch, registration and
// enrollment, the service poll, consent, signalling, capture and the
// technician's control messages. The rules the agent only relays (control
// message parsing, pointer state, peer limits, enrollment parsing) are tested
// where they live; here each is wired once.
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "agent/relaunch.h"
#include "agent/worker_thread.h"
#include "protocol/platform_texts.h"
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

using enum Stage;
using Mouse = FakeInputInjector::Mouse;
constexpr ConsentDecision kApprove = ConsentDecision::kApprove, kDeny = ConsentDecision::kDeny;

Json edited(Json json, const Json& patch) {
  json.merge_patch(patch);
  return json;
}

Json pointer(int64_t seq, std::string action, double x = 0.5, double y = 0.5) {
  return Json{{"kind", "pointer"}, {"seq", seq}, {"action", std::move(action)}, {"x", x}, {"y", y}};
}

Json candidateSignal(int n) {
  return Json{{"type", "candidate"},
              {"candidate", {{"candidate", "candidate:" + std::to_string(n) + " 1 udp 1 127.0.0.1 9 typ host"},
                             {"sdpMid", "0"}, {"sdpMLineIndex", 0}}}};
}

// ---- the agent's own value types ----

TEST(WorkerThread, WorkRunsElsewhereAndCompletesOnTheLoopUnlessTheWorkerIsGone) {
  VirtualLoop loop;
  std::atomic<bool> worked{false};
  bool done = false;
  {
    WorkerThread worker(loop);
    std::thread::id workedOn, doneOn;
    worker.run([&] { workedOn = std::this_thread::get_id(); }, [&] { doneOn = std::this_thread::get_id(); });
    ASSERT_TRUE(loop.runUntil([&] { return doneOn != std::thread::id(); }, 5));
    EXPECT_TRUE(workedOn != doneOn && doneOn == std::this_thread::get_id());
    worker.run([&] { worked = true; }, [&] { done = true; });
    ASSERT_TRUE(waitUntil([&] { return worked.load(); }));
  }
  loop.runUntilIdle();
  EXPECT_FALSE(done);
}

TEST(SettingsFolder, UnderXdgDataHomeOnlyWhenItIsAbsolute) {
  {
    const ScopedEnv absolute("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(defaultSettingsFolder(), "/srv/data/Kestrelix Remote Test");
  }
  const ScopedEnv relative("XDG_DATA_HOME", "relative");  // ignored, as XDG says
  EXPECT_TRUE(defaultSettingsFolder().ends_with("/.local/share/Kestrelix Remote Test"));
}

// ---- launch, quit, restart ----

TEST(StartUp, SetupOpensForANewBuildMissingInputControlOrNoRegistrationOnly) {
  const struct {
    std::optional<std::string> shownVersion;
    bool inputGranted, registered, opens;
  } cases[] = {{"0.4.9", true, true, true}, {{}, true, true, true}, {"0.5.0", false, true, true},
               {"0.5.0", true, false, true}, {"0.5.0", true, true, false}};
  for (const auto& c : cases) {
    AgentHarness h;
    h.desktop.shownVersion = c.shownVersion;
    h.access.set(c.inputGranted);
    h.writeJson(c.registered ? edited(AgentHarness::enrollmentFile(), {{"device", "DEV-1"}, {"key", "KEY-1"}})
                             : AgentHarness::enrollmentFile());
    h.make().start();
    h.loop.runUntilIdle();
    EXPECT_EQ(h.setup != nullptr, c.opens) << c.shownVersion.value_or("-") << c.inputGranted << c.registered;
  }
}

TEST(StartUp, NothingRunsWhenAnotherCopyRunsOrTheFolderCannotBeMade) {
  AgentHarness copy, noFolder;
  copy.desktop.others = {"/opt/old/bin/kestrelix-remote"};
  noFolder.createFolder = [](const std::string&) -> Status { return makeError("File", 13, "Permission denied"); };
  for (AgentHarness* h : {&copy, &noFolder}) {
    h->writeJson(AgentHarness::enrollmentFile());
    h->make().start();
    h->loop.advance(10);
    EXPECT_TRUE(h->http.sent().empty());
  }
  EXPECT_EQ(copy.dialogs.alerts, 1);
}

// Both end the session at the service first; quit waits for that two seconds at most.
TEST(Leaving, QuitAndRestartEndTheSessionAtTheServiceFirst) {
  for (const bool serviceAnswers : {true, false}) {
    AgentHarness h(kStreaming);
    h.client->quit();
    if (serviceAnswers) h.respond(kEnd);
    h.loop.advance(1.9);
    EXPECT_EQ(h.desktop.terminations, serviceAnswers ? 1 : 0);
    h.loop.advance(0.2);
    EXPECT_EQ(h.desktop.terminations, 1);
  }
  AgentHarness h(kStreaming);
  h.client->restartForPermissions();
  h.client->restartForPermissions();
  EXPECT_TRUE(h.desktop.launched.empty());
  EXPECT_EQ(h.respond(kEnd, Json::object(), 500).json()["session"], h.technician.id);
  ASSERT_EQ(h.desktop.launched.size(), 1u);
  EXPECT_EQ(h.desktop.launched[0].arguments, (std::vector<std::string>{"-c", std::string(kRelaunchScript), "kestrelix-relaunch",
                                                                        "4242", "/opt/kx/kestrelix-remote"}));
  EXPECT_EQ(h.desktop.terminations, 1);
}

// ---- enrollment ----

// First launch: nothing is sent until a full code is typed; a failed registration
// comes back every five seconds; the identity then replaces the one-time code.
TEST(Enrollment, TypedCodeRegistersRetryingEveryFiveSecondsAndTheIdentityReplacesIt) {
  AgentHarness h;
  h.hostName = "";
  h.make().start();
  h.loop.advance(6);
  h.setupActions.codeEnrollment("ABCDEF0123456789ABC");
  EXPECT_TRUE(h.http.sent().empty());
  h.setupActions.codeEnrollment(" abcd-ef01 2345\t6789-abcd ");
  EXPECT_EQ(h.respond(kEnroll, Json{{"id", "DEV-1"}}).json()["name"], kPlatformTexts.defaultDeviceName);
  EXPECT_EQ(AgentHarness::readJson(h.statusPath)["registrationError"],
            "Invalid registration (1): The operation couldn\u2019t be completed. (Invalid registration error 1.)");
  h.loop.advance(4.9);
  EXPECT_FALSE(h.pending(kEnroll));
  h.loop.advance(0.2);
  h.respond(kEnroll, Json{{"id", "DEV-9"}, {"key", "KEY-9"}});
  const Json stored = AgentHarness::readJson(h.settingsPath);
  EXPECT_EQ(std::tie(stored["device"], stored["key"], stored["token"]), std::tie("DEV-9", "KEY-9", ""));
  h.setupActions.codeEnrollment("ABCDEF0123456789ABCD");  // ignored once registered
  EXPECT_FALSE(h.pending(kEnroll));
}

// A chosen file is stored and registers with its token once the poll waiting
// on the replaced transport is answered; a file that cannot be stored, or one
// chosen while a session began, keeps the old enrollment serving.
TEST(Import, ChosenFileReplacesTheEnrollmentAndAFailedOrLateOneKeepsIt) {
  enum Kind { kAccepted, kUnwritable, kApprovedMeanwhile };
  for (const Kind kind : {kAccepted, kUnwritable, kApprovedMeanwhile}) {
    AgentHarness h(kRegistered);
    ASSERT_TRUE(h.advanceUntilPending(kPoll));
    if (kind == kUnwritable) {
      std::filesystem::remove(h.settingsPath);
      std::filesystem::create_directory(h.settingsPath);
    }
    h.client->importEnrollment();
    if (kind == kApprovedMeanwhile) h.approve();
    h.dialogs.panels.at(0)(h.writeJson(AgentHarness::enrollmentFile("NEW"), h.temp / "new.json"));
    EXPECT_EQ(h.dialogs.alerts, kind == kUnwritable ? 1 : 0) << kind;
    if (kind == kAccepted) {
      EXPECT_EQ(AgentHarness::readJson(h.settingsPath)["token"], "NEW");
      h.respond(kPoll);
      EXPECT_EQ(h.respond(kEnroll, Json{{"id", "DEV-1"}, {"key", "KEY-1"}}).json()["token"], "NEW");
      continue;
    }
    EXPECT_FALSE(h.pending(kEnroll));
    EXPECT_EQ(h.client->secret(), "KEY-1");
    EXPECT_TRUE(h.client->hasServiceTimer());
  }
}

// ---- the service poll ----

// The status file is private and rewritten at contacts and on change only.
TEST(PollLoop, ContactsEveryFiveSecondsIdleAndEverySecondInASessionOneAtATime) {
  AgentHarness h(kRegistered);
  auto file = [&] {
    struct stat info {};  // all zero when there is no file
    stat(h.statusPath.c_str(), &info);
    return info;
  };
  h.loop.advance(0.5);
  ASSERT_TRUE(h.pending(kPoll));
  const ino_t written = file().st_ino;
  h.loop.advance(30);
  EXPECT_EQ(h.sentTo(kPoll), 1u);  // a tick waiting for the service keeps the others away
  EXPECT_EQ(file().st_ino, written);
  EXPECT_EQ(file().st_mode & 0777, 0600u);
  EXPECT_EQ(h.respond(kPoll).json()["captureState"], "idle");
  auto pollsIn = [&](double seconds, const Json& reply) {
    const size_t before = h.sentTo(kPoll);
    for (double t = 0; t < seconds; t += 0.5, h.loop.advance(0.5)) {
      while (h.pending(kPoll)) h.respond(kPoll, reply);
    }
    return h.sentTo(kPoll) - before;
  };
  EXPECT_EQ(pollsIn(20, Json::object()), 4u);
  h.approve();
  EXPECT_EQ(pollsIn(20, Json{{"session", h.approvedSession()}}), 20u);
}

TEST(PollLoop, FailedContactRegistersAgainWithTheIdentityBeforeItPollsAgain) {
  AgentHarness h(kRegistered);
  h.poll(Json{{"error", "Device unknown"}}, 404);
  EXPECT_EQ(h.pendingRequest(kEnroll).header("Authorization"), "Bearer KEY-1");
  for (const int status : {500, 200}) {  // a failure keeps the identity
    const Json body = h.respond(kEnroll, Json{{"id", "DEV-1"}, {"key", "KEY-1"}}, status).json();
    EXPECT_EQ(std::tie(body["device"], body["token"]), std::tie("DEV-1", ""));
    EXPECT_EQ(h.sentTo(kPoll), 1u);
    EXPECT_TRUE(h.advanceUntilPending(status == 500 ? kEnroll : kPoll, 10));
  }
}

// ---- how a session ends ----

TEST(SessionEnd, EachCauseClearsTheSessionAndTellsTheServiceOnlyWhenItMust) {
  using Act = std::function<void(AgentHarness&)>;
  const Json tooLong{{"type", "answer"}, {"sdp", std::string(48001, 'a')}, {"messageId", newUuid()}};
  auto approveWith = [](const Json& patch, const Json& reply = Json::object(), int status = 200) -> Act {
    return [=](AgentHarness& h) { h.decide(kApprove, edited(h.pendingSession(), patch), reply, status); };
  };
  const struct {
    Stage stage;
    Act cause;
    bool endSent, registersAgain;
  } cases[] = {
      {kApproved, [](AgentHarness& h) { h.poll(); }, false, false},  // gone at the service
      {kApproved, [](AgentHarness& h) { h.poll(Json{{"session", {{"id", newUuid()}, {"state", "approved"}}}}); },
       false, false},
      {kApproved, [](AgentHarness& h) { h.picker.observer.didCancel(); }, true, false},
      {kStreaming, [](AgentHarness& h) { h.control(Json{{"kind", "end"}}); }, true, false},
      {kStreaming, [](AgentHarness& h) { h.client->endSession(); }, true, false},
      {kStreaming, [](AgentHarness& h) { h.capture.last()->onStop(makeError("X11", 1, "Unplugged")); }, true, false},
      {kStreaming, [](AgentHarness& h) { h.engine.last()->emitIceState(IceConnectionState::kFailed); }, true, false},
      {kStreaming, [&](AgentHarness& h) { h.deliverSignals({tooLong}); }, true, true},  // an invalid answer
      {kRegistered, approveWith({{"salt", nullptr}}), true, true},
      {kRegistered, approveWith({{"browserKey", base64Encode(randomBytes(33))}}), true, true},
      {kRegistered, approveWith(Json::object(), {{"error", "Session expired"}}, 410), false, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    AgentHarness h(cases[i].stage);
    cases[i].cause(h);
    h.loop.runUntilIdle();
    EXPECT_EQ(h.client->active(), "") << i;
    EXPECT_FALSE(h.client->hasSessionKey() || h.picker.active || h.menu.sharing) << i;
    EXPECT_EQ(h.sentTo(kEnd), cases[i].endSent ? 1u : 0u) << i;
    if (cases[i].endSent) { EXPECT_EQ(h.pendingRequest(kEnd).json()["session"], h.technician.id) << i; }
    EXPECT_EQ(h.pending(kEnroll), cases[i].registersAgain) << i;
  }
}

// ---- consent ----

// Only an approval the service takes starts the display choice; a refusal
// stands whatever the service answers.
TEST(Consent, PromptNamesTechnicianAndCodeAndOnlyAnAcceptedApprovalStartsTheDisplayChoice) {
  const std::pair<ConsentDecision, int> cases[] = {{kApprove, 200}, {kDeny, 200}, {kDeny, 409}, {kApprove, 409}};
  for (const auto& [decision, status] : cases) {
    const bool approved = decision == kApprove && status == 200, denied = decision == kDeny;
    AgentHarness h(kRegistered);
    h.poll(Json{{"session", denied ? edited(h.pendingSession(), {{"technician", nullptr}}) : h.pendingSession()}});
    ASSERT_EQ(h.dialogs.prompts.size(), 1u);
    const size_t sent = h.http.sent().size();
    h.loop.advance(20);  // the prompt holds the contacts
    EXPECT_EQ(h.http.sent().size(), sent);
    EXPECT_EQ(h.dialogs.prompts[0].message, denied ? "Technician requests access" : "Alex requests access");
    EXPECT_EQ(h.dialogs.prompts[0].informativeText, std::string(kPlatformTexts.consentDetail) +
                                                        "\n\nVerification code: " + h.technicianCipher().verificationCode());
    h.dialogs.answerConsent(decision);
    h.loop.runUntilIdle();
    EXPECT_EQ(h.pendingRequest(kDecision).json(), (Json{{"session", h.technician.id}, {"approve", !denied}}));
    h.respond(kDecision, status == 200 ? Json::object() : Json{{"error", "The request has expired."}}, status);
    EXPECT_EQ(h.client->active(), approved ? h.technician.id : "");
    EXPECT_EQ(h.picker.presented == 1 && h.picker.active && h.client->hasSessionKey(), approved);
    EXPECT_FALSE(h.client->processing() || h.pending(kEnroll));
    if (denied) { EXPECT_EQ(h.menu.line, "Online · awaiting requests") << status; }
    if (approved) continue;
    // A refused request the service still offers is refused again, unasked.
    h.poll(Json{{"session", h.pendingSession()}});
    EXPECT_EQ(h.dialogs.prompts.size(), denied ? 1u : 2u);
    if (denied) { EXPECT_EQ(h.respond(kDecision).json()["approve"], false); }
  }
}

// The service's expiry becomes an uptime deadline at most thirty minutes away.
TEST(Consent, EndsOnItsUptimeDeadlineWhateverTheWallClockOrAHangingContact) {
  AgentHarness h(kRegistered);
  h.approve(/*expiresIn=*/7200);
  const double deadline = *h.client->consentLease().deadline();
  EXPECT_EQ(deadline, h.loop.uptime() + 1800);
  h.loop.setWallTime(h.loop.wallTime() + 86400);
  h.poll(Json{{"session", h.approvedSession()}});
  h.loop.setWallTime(h.loop.wallTime() - 2 * 86400);
  ASSERT_TRUE(h.advanceUntilPending(kPoll));  // and left hanging
  h.loop.advance(deadline - h.loop.uptime() - 0.01);
  EXPECT_EQ(h.client->active(), h.technician.id);
  h.loop.advance(0.5);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.pendingRequest(kEnd).json(), (Json{{"session", h.technician.id}}));

  AgentHarness past(kRegistered);  // an expiry already gone ends it at the next tick; nothing acts before
  past.approve(0);
  past.client->receiveInput(past.seal(Json{{"kind", "end"}}), past.technician.id, past.client->generation());
  past.pick();
  EXPECT_TRUE(past.capture.streams.empty());
  EXPECT_FALSE(past.pending(kEnd));
  past.loop.advance(0.5);
  EXPECT_EQ(past.client->active(), "");
  EXPECT_TRUE(past.pending(kEnd));
}

// ---- signalling ----

TEST(Signals, PickedDisplayIsOfferedAtOnceThenEachContactAwaitingTheAnswerComesAnIntervalLater) {
  AgentHarness h(kApproved);
  h.pick();
  h.loop.advance(0.06);  // not held back by the contact of the approval
  ASSERT_FALSE(h.pending(kPoll));
  h.respond(kSignal);
  for (int contact = 0; contact < 3; ++contact) {
    h.respond(kPoll, Json{{"session", h.approvedSession()}});
    double waited = 0;  // the timer's ticks alone would make it about 1.5 s
    for (; !h.pending(kPoll) && waited < 3; waited += 0.01) h.loop.advance(0.01);
    EXPECT_NEAR(waited, 1.0, 0.03) << contact;
  }
  const std::string first = h.client->active();
  h.technician = Technician();
  h.approve();  // a new approval replaces the running session
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_EQ(h.capture.last()->stops, 1);
  EXPECT_EQ(h.respond(kEnd).json()["session"], first);
}

TEST(Signals, QueueHoldsAtMost256AndOnlyWhatWasSentInBatchesOf16LeavesIt) {
  AgentHarness h(kApproved);
  for (int i = 0; i < 300; ++i) h.client->queueSignal(candidateSignal(i));
  EXPECT_EQ(h.client->outgoingSignals().size(), 256u);
  const std::vector<std::string> before = h.client->outgoingSignals();
  ASSERT_TRUE(h.advanceUntilPending(kSignal));
  EXPECT_EQ(h.respond(kSignal).json()["payloads"].size(), 16u);
  ASSERT_EQ(h.client->outgoingSignals().size(), 240u);
  EXPECT_EQ(h.client->outgoingSignals().front(), before[16]);
}

// The technician's answer and candidates reach the peer once; our own
// reflected signals and any beyond the memory of seen ones are skipped.
TEST(Signals, AnswerAndCandidatesReachThePeerOnce) {
  AgentHarness h(kApproved);
  const Json answer{{"type", "answer"}, {"sdp", "v=0\r\ns=answer\r\n"}, {"messageId", newUuid()}};
  const Json candidate = edited(candidateSignal(7), {{"messageId", newUuid()}});
  h.pick();
  auto connection = h.engine.last();
  connection->emitIceState(IceConnectionState::kConnected);
  connection->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 1 127.0.0.1 9 typ host", 0, "0"});
  h.loop.runUntilIdle();
  Json signals = Json::array();
  for (const std::string& own : h.client->outgoingSignals()) signals.push_back(Json{{"payload", own}});
  ASSERT_EQ(signals.size(), 2u);  // our own offer and candidate, sent back
  h.poll(Json{{"session", h.approvedSession(signals)}});
  EXPECT_TRUE(connection->addedCandidates().empty());
  EXPECT_FALSE(connection->remoteDescription());
  for (int relay = 0; relay < 2; ++relay) h.deliverSignals({candidate, answer});  // the service relays twice
  EXPECT_EQ(connection->addedCandidates().size(), 1u);
  EXPECT_EQ(std::ranges::count(connection->calls(), "setRemoteDescription:answer"), 1);
  std::vector<Json> notes;
  for (int i = 0; i < 513; ++i) notes.push_back(Json{{"type", "note"}, {"messageId", "M" + std::to_string(i)}});
  h.deliverSignals(notes);
  EXPECT_EQ(h.client->seenSignals().size(), 512u);
  h.deliverSignals({edited(candidateSignal(8), {{"messageId", newUuid()}})});
  EXPECT_EQ(connection->addedCandidates().size(), 1u);  // once full, even a real one
}

// ---- capture ----

TEST(Capture, FailuresToStartPauseTheSessionForGood) {
  enum Kind { kNoDisplay, kPickerFails, kStartFails };
  for (const Kind kind : {kNoDisplay, kPickerFails, kStartFails}) {
    AgentHarness h(kApproved);
    if (kind == kNoDisplay) h.picker.observer.didUpdate(ContentFilter{});
    if (kind == kPickerFails) h.picker.observer.startDidFail(makeError("Picker", 3, "It failed"));
    if (kind == kStartFails) {
      h.capture.next.startResult = makeError("X11", 2, "It failed");
      h.pick();
      EXPECT_TRUE(h.engine.last()->closed());
      EXPECT_EQ(h.capture.last()->stops, 1);
    }
    h.loop.runUntilIdle();
    EXPECT_EQ(h.menu.line, kind == kNoDisplay ? "Capture paused: No display was selected" : "Capture paused: It failed");
    EXPECT_EQ(h.client->lifecycle().phaseText(), "paused") << kind;
    EXPECT_EQ(h.client->active(), h.technician.id);
    h.pick();
    EXPECT_LE(h.capture.streams.size(), 1u);
  }
}

// Ping is answered once the peer exists; an offer refused after the session
// ended, or an earlier stream's stop, changes nothing; a stopped stream goes
// only after its stop call has returned.
TEST(Capture, WorkOfAnEndedSessionOrAnEarlierStreamChangesNothing) {
  AgentHarness h(kApproved);
  h.capture.next.deferStart = true;
  h.engine.options.deferCompletions = true;
  h.pick();
  h.engine.last()->dataChannel()->setState(DataChannelState::kOpen);
  h.control(Json{{"kind", "ping"}, {"token", 7}});
  EXPECT_EQ(h.lastChannelMessage(), (Json{{"kind", "pong"}, {"token", 7}}));
  h.capture.last()->pending(Status{});
  h.engine.last()->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  h.client->endSession();
  h.loop.runUntilIdle();
  while (h.engine.last()->pendingCompletions() > 0) {
    h.engine.last()->completeAll();
    h.loop.runUntilIdle();
  }
  EXPECT_EQ(h.menu.line, "Online · awaiting requests");

  h.technician = Technician();
  h.engine.options.deferCompletions = false;
  h.capture.next = {};
  h.capture.next.deferStop = true;
  h.startStreaming();
  auto first = h.capture.last();
  h.client->endSession();
  first->pending(Status{});
  EXPECT_FALSE(first->destroyed);  // not from inside its own call
  h.loop.runUntilIdle();
  EXPECT_TRUE(first->destroyed);
  h.technician = Technician();
  h.capture.next = {};
  h.startStreaming();
  first->onStop(makeError("X11", 1, "gone"));
  EXPECT_EQ(h.client->active(), h.technician.id);
}

// ---- control messages ----

// Revoked permission lets go of a held button and is requested once; input
// refused meanwhile keeps its number, which must keep rising; messages of
// another session, or of an earlier approval of the same one, are dropped.
TEST(Control, PermissionSequenceAndEpochDecideWhatIsPosted) {
  AgentHarness h(kStreaming);
  h.control(pointer(1, "down", 0.25, 0.5));
  h.access.set(false);
  h.loop.advance(1.0);
  EXPECT_EQ(h.injector.mouse, (std::vector<Mouse>{{MouseEventType::kLeftMouseDown, {360, 450}},
                                                  {MouseEventType::kLeftMouseUp, {360, 450}}}));
  h.client->inputPermission();
  h.client->inputPermission();
  h.loop.runUntilIdle();
  EXPECT_TRUE(h.setup->restartRequired);
  EXPECT_EQ(h.access.requests, 1);
  h.control(pointer(2, "hover"));
  h.access.set(true);
  h.loop.advance(1.0);
  const std::pair<Json, size_t> steps[] = {
      {pointer(2, "hover"), 3}, {pointer(2, "hover", 0.6), 3}, {pointer(5, "hover", 0.7), 4},
      {pointer(4, "hover", 0.8), 4}, {edited(pointer(9, "hover"), {{"seq", nullptr}}), 4},
      {Json{{"kind", "teleport"}, {"seq", 6}}, 4}, {pointer(6, "hover", 0.8), 4}};
  for (const auto& [message, posted] : steps) {
    h.control(message);
    EXPECT_EQ(h.injector.mouse.size(), posted) << message;
  }
  EXPECT_EQ(h.client->lastInputSequence(), 6);
  const std::string session = h.client->active();
  const int64_t epoch = h.client->generation();
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), "OTHER", epoch);
  EXPECT_EQ(h.client->active(), session);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch);
  EXPECT_EQ(h.client->active(), "");
  h.approve();  // the same request approved again: only the generation tells the two apart
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch);
  EXPECT_EQ(h.client->active(), session);
}

}  // namespace
}  // namespace kx::testing
