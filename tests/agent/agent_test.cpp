// The client agent on fakes and virtual time: launch, registration and
// enrollment, the service poll, consent, signalling, capture and the
// technician's control messages. The rules the agent only relays (control
// message parsing, pointer state, peer limits, enrollment parsing) are tested
// where they live; here each is wired once.
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "agent/worker_thread.h"
#include "protocol/platform_texts.h"
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

using enum Stage;
using Mouse = FakeInputInjector::Mouse;
constexpr ConsentDecision kApprove = ConsentDecision::kApprove, kDeny = ConsentDecision::kDeny;

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

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
  std::thread::id workedOn, doneOn;
  std::atomic<bool> worked{false};
  bool lateDone = false;
  {
    WorkerThread worker(loop);
    worker.run([&] { workedOn = std::this_thread::get_id(); }, [&] { doneOn = std::this_thread::get_id(); });
    ASSERT_TRUE(loop.runUntil([&] { return doneOn != std::thread::id(); }, 5));
    worker.run([&] { worked = true; }, [&] { lateDone = true; });
    ASSERT_TRUE(waitUntil([&] { return worked.load(); }));
  }
  loop.runUntilIdle();
  EXPECT_NE(workedOn, std::this_thread::get_id());
  EXPECT_EQ(doneOn, std::this_thread::get_id());
  EXPECT_FALSE(lateDone);
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
    EXPECT_EQ(h.desktop.shownVersion, "0.5.0");
  }
}

TEST(StartUp, NothingRunsWhenAnotherCopyRunsOrTheFolderCannotBeMade) {
  AgentHarness copy, noFolder;
  copy.desktop.others = {"/opt/old/bin/kestrelix-remote", ""};
  noFolder.createFolder = [](const std::string&) -> Status { return makeError("File", 13, "Permission denied"); };
  noFolder.writeJson(AgentHarness::enrollmentFile());
  for (AgentHarness* h : {&copy, &noFolder}) {
    h->make().start();
    h->loop.advance(10);
    EXPECT_TRUE(h->http.sent().empty());
    EXPECT_EQ(h->access.reads, 0);
  }
  EXPECT_EQ(noFolder.menu.line, "Cannot create client settings");
  EXPECT_TRUE(copy.dialogs.alerts.at(0).informativeText.ends_with("/opt/old/bin/kestrelix-remote\nUnknown location"));
  EXPECT_EQ(copy.desktop.terminations, 0);
  copy.dialogs.alerts[0].dismissed();
  EXPECT_EQ(copy.desktop.terminations, 1);
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
  AgentHarness idle(kRegistered);
  idle.client->quit();
  EXPECT_EQ(idle.desktop.terminations, 1);  // nothing to end: at once

  AgentHarness h(kStreaming);
  h.client->restartForPermissions();
  h.client->restartForPermissions();
  EXPECT_TRUE(h.desktop.launched.empty());
  EXPECT_EQ(h.respond(kEnd, Json::object(), 500).json()["session"], h.technician.id);
  ASSERT_EQ(h.desktop.launched.size(), 1u);
  EXPECT_EQ(h.desktop.launched[0].arguments.at(3), "4242");
  EXPECT_EQ(h.desktop.terminations, 1);
}

// ---- status file, input permission ----

TEST(StatusFile, HoldsTheStateAndIsRewrittenWholeOnlyOnChangeAndAtContacts) {
  AgentHarness h(kStreaming);
  auto inode = [&] {
    struct stat info {};
    return stat(h.statusPath.c_str(), &info) == 0 ? info.st_ino : 0;
  };
  h.poll(Json{{"session", h.approvedSession()}});
  EXPECT_EQ(AgentHarness::readJson(h.statusPath)["captureState"], "streaming");
  ino_t seen = inode();
  ASSERT_TRUE(h.advanceUntilPending(kPoll));  // the next contact rewrites it; then it hangs
  EXPECT_NE(inode(), seen);
  seen = inode();
  h.loop.advance(10);
  EXPECT_EQ(inode(), seen);
  h.access.set(false);
  h.loop.advance(1);
  EXPECT_EQ(AgentHarness::readJson(h.statusPath)["inputAccess"], "denied");
  EXPECT_EQ(modeOf(h.statusPath), 0600u);
  EXPECT_EQ(modeOf(h.folder), 0700u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(h.folder), {}), 2);  // no temporary files left
}

TEST(InputPermission, ReadOneAtATimeRequestedOnceChangesReachTheTechnicianAndRevocationLetsGoOfAHeldButton) {
  AgentHarness h;
  h.access.set(false);
  h.background.runAtOnce = false;
  h.startRegistered();
  h.loop.advance(5);
  EXPECT_EQ(h.background.queued.size(), 1u);
  h.client->inputPermission();
  h.client->inputPermission();
  EXPECT_TRUE(h.setup->restartRequired);
  for (int i = 0; i < 3; ++i) {  // the read, the request, then the read after it
    h.background.runQueued();
    h.loop.runUntilIdle();
  }
  EXPECT_EQ(h.access.requests, 1);
  EXPECT_EQ(h.dialogs.alerts.at(0).informativeText, kLinuxTexts.inputAccessHelp);
  h.background.runAtOnce = true;
  h.startStreaming();
  h.access.set(true);
  h.loop.advance(1.0);
  EXPECT_EQ(h.lastChannelMessage(),
            (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  h.control(pointer(1, "down", 0.25, 0.5));
  h.access.set(false);
  h.loop.advance(1.0);
  EXPECT_EQ(h.injector.mouse, (std::vector<Mouse>{{MouseEventType::kLeftMouseDown, {360, 450}},
                                                  {MouseEventType::kLeftMouseUp, {360, 450}}}));
}

// ---- enrollment ----

// First launch: nothing is sent until a full code is typed; a failed registration
// comes back every five seconds; the identity then replaces the one-time code.
TEST(Enrollment, TypedCodeRegistersRetryingEveryFiveSecondsAndTheIdentityReplacesIt) {
  AgentHarness h;
  h.hostName = "";
  h.make().start();
  h.loop.advance(6);
  EXPECT_EQ(h.menu.line, "Not enrolled · import enrollment file");
  h.setupActions.codeEnrollment("ABCDEF0123456789ABC");
  EXPECT_EQ(h.setup->error, "Enter the full setup code supplied by your support team.");
  EXPECT_TRUE(h.http.sent().empty());
  h.setupActions.codeEnrollment(" abcd-ef01 2345\t6789-abcd ");
  EXPECT_EQ(h.respond(kEnroll, Json{{"id", "DEV-1"}}).json()["name"], kPlatformTexts.defaultDeviceName);
  const std::string error = "Invalid registration (1): The operation couldn\u2019t be completed. (Invalid registration error 1.)";
  EXPECT_EQ(AgentHarness::readJson(h.statusPath)["registrationError"], error);
  EXPECT_EQ(h.menu.line, "Connection failed · see Connection details");
  h.loop.advance(4.9);
  EXPECT_FALSE(h.pending(kEnroll));
  h.loop.advance(0.2);
  h.respond(kEnroll, Json{{"id", "DEV-9"}, {"key", "KEY-9"}});
  const Json stored = AgentHarness::readJson(h.settingsPath);
  EXPECT_EQ(std::tie(stored["device"], stored["key"], stored["token"]), std::tie("DEV-9", "KEY-9", ""));
  EXPECT_EQ(h.menu.line, "Online · awaiting requests");
  h.setupActions.codeEnrollment("ABCDEF0123456789ABCD");  // ignored once registered
  EXPECT_FALSE(h.pending(kEnroll));
  h.setupActions.technician();
  EXPECT_EQ(h.technicianDevice(), "DEV-9");
  SetupWindowActions actions = h.setupActions;
  h.client.reset();
  actions.login();  // the actions outlive the agent harmlessly
  EXPECT_EQ(h.desktop.loginCalls, 0);
  EXPECT_EQ(h.technicianDevice(), "");
}

// A chosen file is stored privately and registers with its token once the
// poll waiting on the replaced transport is answered; any other outcome keeps
// the old enrollment serving.
TEST(Import, ChosenFileReplacesTheEnrollmentAndAFailedCancelledOrLateOneKeepsIt) {
  enum Kind { kAccepted, kBadAddress, kUnwritable, kCancelled, kApprovedMeanwhile };
  for (const Kind kind : {kAccepted, kBadAddress, kUnwritable, kCancelled, kApprovedMeanwhile}) {
    AgentHarness h(kRegistered);
    ASSERT_TRUE(h.advanceUntilPending(kPoll));
    if (kind == kUnwritable) {
      std::filesystem::remove(h.settingsPath);
      std::filesystem::create_directory(h.settingsPath);
    }
    h.client->importEnrollment();
    if (kind == kApprovedMeanwhile) {
      h.approve();
      h.client->importEnrollment();  // refused during a session: no second panel
      EXPECT_EQ(h.dialogs.panels.size(), 1u);
    }
    const Json file = edited(AgentHarness::enrollmentFile("NEW"), kind == kBadAddress ? Json{{"url", "http://support.kx.test"}} : Json::object());
    h.dialogs.choose(kind == kCancelled ? std::nullopt : std::optional(h.writeJson(file, h.temp / "new.json")));
    EXPECT_EQ(h.dialogs.alerts.size(), kind == kBadAddress || kind == kUnwritable ? 1u : 0u) << kind;
    if (kind == kAccepted) {
      EXPECT_EQ(AgentHarness::readJson(h.settingsPath)["token"], "NEW");
      EXPECT_EQ(modeOf(h.settingsPath), 0600u);
      h.respond(kPoll);
      EXPECT_EQ(h.respond(kEnroll, Json{{"id", "DEV-1"}, {"key", "KEY-1"}}).json()["token"], "NEW");
      EXPECT_TRUE(h.advanceUntilPending(kPoll, 1));
      continue;
    }
    EXPECT_FALSE(h.pending(kEnroll));
    EXPECT_EQ(h.client->secret(), "KEY-1");
    EXPECT_TRUE(h.client->hasServiceTimer());
    if (kind == kApprovedMeanwhile) { EXPECT_EQ(h.client->active(), h.technician.id); }
  }
}

// ---- the service poll ----

TEST(PollLoop, ContactsEveryFiveSecondsIdleAndEverySecondInASessionOneAtATime) {
  AgentHarness h(kRegistered);
  h.loop.advance(0.5);
  ASSERT_TRUE(h.pending(kPoll));
  h.loop.advance(30);
  EXPECT_EQ(h.sentTo(kPoll), 1u);  // a tick waiting for the service keeps the others away
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
  const Json tooLong{{"type", "answer"}, {"sdp", std::string(48001, 'a')}, {"messageId", newUuid()}};
  const struct {
    const char* cause;
    Stage stage;
    std::function<void(AgentHarness&)> act;
    std::string line;  // what the menu says, or how it starts
    bool endSent, registersAgain;
  } cases[] = {
      {"gone at the service", kApproved, [](AgentHarness& h) { h.poll(); }, "Online · awaiting requests", false, false},
      {"another offered", kApproved,
       [](AgentHarness& h) { h.poll(Json{{"session", {{"id", newUuid()}, {"state", "approved"}}}}); },
       "Online · awaiting requests", false, false},
      {"picker cancelled", kApproved, [](AgentHarness& h) { h.picker.observer.didCancel(); },
       "Online · awaiting requests", true, false},
      {"technician's end", kStreaming, [](AgentHarness& h) { h.control(Json{{"kind", "end"}}); },
       "Online · awaiting requests", true, false},
      {"menu's end", kStreaming, [](AgentHarness& h) { h.client->endSession(); }, "Online · awaiting requests", true, false},
      {"stream stopped", kStreaming, [](AgentHarness& h) { h.capture.last()->onStop(makeError("X11", 1, "Unplugged")); },
       "Sharing ended · Unplugged", true, false},
      {"peer failed", kStreaming, [](AgentHarness& h) { h.engine.last()->emitIceState(IceConnectionState::kFailed); },
       "Real-time connection ended. A new approved session is needed.", true, false},
      {"invalid answer", kStreaming, [&](AgentHarness& h) { h.deliverSignals({tooLong}); }, "Connection ended: ", true, true},
      {"poll failed", kApproved, [](AgentHarness& h) { h.poll(Json{{"error", "Device unknown"}}, 404); },
       "Connection ended: Server 404: Device unknown", true, true},
      {"no salt", kRegistered,
       [](AgentHarness& h) { h.decide(kApprove, edited(h.pendingSession(), {{"salt", nullptr}}), Json::object()); },
       "Connection ended: ", true, true},
      {"unusable key", kRegistered,
       [](AgentHarness& h) {
         h.decide(kApprove, edited(h.pendingSession(), {{"browserKey", base64Encode(randomBytes(33))}}), Json::object());
       },
       "Connection ended: ", true, true},
      {"decision refused", kRegistered,
       [](AgentHarness& h) { h.decide(kApprove, h.pendingSession(), Json{{"error", "Session expired"}}, 410); },
       "Connection ended: Server 410: Session expired", false, true},
  };
  for (const auto& c : cases) {
    AgentHarness h(c.stage);
    c.act(h);
    h.loop.runUntilIdle();
    EXPECT_EQ(h.client->active(), "") << c.cause;
    EXPECT_FALSE(h.client->hasSessionKey() || h.picker.active || h.menu.sharing) << c.cause;
    EXPECT_TRUE(h.menu.line.starts_with(c.line)) << c.cause << ": " << h.menu.line;
    EXPECT_EQ(h.sentTo(kEnd), c.endSent ? 1u : 0u) << c.cause;
    if (c.endSent) { EXPECT_EQ(h.pendingRequest(kEnd).json()["session"], h.technician.id) << c.cause; }
    EXPECT_EQ(h.pending(kEnroll), c.registersAgain) << c.cause;
  }
}

// ---- consent ----

// The prompt holds the contacts; only an approval the service takes starts
// the display choice; a refusal stands whatever the service answers.
TEST(Consent, PromptNamesTechnicianAndCodeAndOnlyAnAcceptedApprovalStartsTheDisplayChoice) {
  const struct {
    ConsentDecision decision;
    std::optional<int> status;  // nullopt: the request failed in transport
    std::string line;
  } cases[] = {
      {kApprove, 200, "Approved · choose a display to share"},
      {kDeny, 200, "Online · awaiting requests"},
      {kDeny, 409, "Online · awaiting requests"},
      {kDeny, std::nullopt, "Online · awaiting requests"},
      {kApprove, 409, "Support request expired · the technician can request again"},
  };
  for (const auto& c : cases) {
    const bool approved = c.decision == kApprove && c.status == 200, denied = c.decision == kDeny;
    AgentHarness h(kRegistered);
    h.poll(Json{{"session", denied ? edited(h.pendingSession(), {{"technician", nullptr}}) : h.pendingSession()}});
    ASSERT_EQ(h.dialogs.prompts.size(), 1u);
    EXPECT_EQ(h.dialogs.prompts[0].message, denied ? "Technician requests access" : "Alex requests access");
    EXPECT_EQ(h.dialogs.prompts[0].informativeText, std::string(kPlatformTexts.consentDetail) +
                                                        "\n\nVerification code: " + h.technicianCipher().verificationCode());
    const size_t sent = h.http.sent().size();
    h.loop.advance(20);
    EXPECT_EQ(h.http.sent().size(), sent);
    h.dialogs.answerConsent(c.decision);
    h.loop.runUntilIdle();
    EXPECT_EQ(h.pendingRequest(kDecision).json(), (Json{{"session", h.technician.id}, {"approve", !denied}}));
    if (c.status) {
      h.respond(kDecision, *c.status == 200 ? Json::object() : Json{{"error", "The request has expired."}}, *c.status);
    } else {
      h.http.fail(makeError("libcurl", 28, "Timeout"), *h.http.find(kDecision));
      h.loop.runUntilIdle();
    }
    EXPECT_EQ(h.menu.line, c.line);
    EXPECT_EQ(h.client->active(), approved ? h.technician.id : "");
    EXPECT_EQ(h.picker.presented, approved ? 1 : 0);
    EXPECT_EQ(h.picker.active, approved);
    EXPECT_EQ(h.client->hasSessionKey(), approved);
    EXPECT_FALSE(h.client->processing());
    EXPECT_FALSE(h.pending(kEnroll));
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
  EXPECT_EQ(h.menu.line, "Support session expired · request fresh approval");
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

TEST(Consent, NewApprovalReplacesARunningSession) {
  AgentHarness h(kStreaming);
  const std::string first = h.client->active();
  h.technician = Technician();
  h.approve();
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_EQ(h.capture.last()->stops, 1);
  EXPECT_EQ(h.respond(kEnd).json()["session"], first);
}

// ---- signalling ----

TEST(Signals, PickedDisplayIsOfferedAtOnceThenEachContactAwaitingTheAnswerComesAnIntervalLater) {
  AgentHarness h(kApproved);
  h.pick(Rect{0, 0, 2560, 1440});
  h.pick();  // shared once
  ASSERT_EQ(h.capture.streams.size(), 1u);
  EXPECT_EQ(h.engine.connections().size(), 1u);
  EXPECT_EQ(h.engine.last()->videoSource()->format(), (FakeVideoSource::Format{1440, 810, 30}));
  EXPECT_EQ(h.menu.title, "● KX Sharing");
  EXPECT_EQ(h.menu.sharing, "Alex");
  h.capture.last()->outputs.at(0)->onFrame(std::make_shared<FakeFrameBuffer>(1440, 810), 1000, FrameStatus::kComplete);
  EXPECT_EQ(h.client->peer()->framesSubmitted(), 1);
  h.loop.advance(0.06);  // not held back by the contact of the approval
  ASSERT_FALSE(h.pending(kPoll));
  const Json body = h.respond(kSignal).json();
  const Json offer = parseJson(openFromBase64(h.technicianCipher(), body["payloads"].at(0).get<std::string>()).value()).value();
  EXPECT_EQ(offer["type"], "offer");
  EXPECT_TRUE(isCanonicalUuid(offer["messageId"].get<std::string>()));
  for (int contact = 0; contact < 3; ++contact) {
    h.respond(kPoll, Json{{"session", h.approvedSession()}});
    double waited = 0;  // the timer's ticks alone would make it about 1.5 s
    for (; !h.pending(kPoll) && waited < 3; waited += 0.01) h.loop.advance(0.01);
    EXPECT_NEAR(waited, 1.0, 0.03) << contact;
  }
}

TEST(Signals, QueueHoldsAtMost256AndOnlyWhatWasSentInBatchesOf16LeavesIt) {
  AgentHarness h(kRegistered);
  h.client->queueSignal(candidateSignal(0));
  EXPECT_TRUE(h.client->outgoingSignals().empty());  // no session
  h.approve();
  for (int i = 0; i < 300; ++i) h.client->queueSignal(candidateSignal(i));
  EXPECT_EQ(h.client->outgoingSignals().size(), 256u);
  const std::vector<std::string> before = h.client->outgoingSignals();
  ASSERT_TRUE(h.advanceUntilPending(kSignal));
  EXPECT_EQ(h.respond(kSignal).json()["payloads"].size(), 16u);
  ASSERT_EQ(h.client->outgoingSignals().size(), 240u);
  EXPECT_EQ(h.client->outgoingSignals().front(), before[16]);
  h.poll(Json{{"session", h.approvedSession()}});
  ASSERT_TRUE(h.advanceUntilPending(kSignal));
  h.respond(kSignal, Json{{"error", "Too many signals"}}, 429);
  EXPECT_EQ(h.menu.line, "Connection ended: Server 429: Too many signals");
}

// The technician's answer and candidates reach the peer once, only while
// streaming; our own reflected signals, unreadable ones and any beyond the
// memory of seen ones are skipped.
TEST(Signals, AnswerAndCandidatesReachThePeerOnceAndOnlyWhileStreaming) {
  AgentHarness h(kApproved);
  const Json answer{{"type", "answer"}, {"sdp", "v=0\r\ns=answer\r\n"}, {"messageId", newUuid()}};
  const Json candidate = edited(candidateSignal(7), {{"messageId", newUuid()}});
  h.deliverSignals({answer});
  EXPECT_TRUE(h.client->seenSignals().empty());
  h.pick();
  auto connection = h.engine.last();
  connection->emitIceState(IceConnectionState::kConnected);
  connection->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 1 127.0.0.1 9 typ host", 0, "0"});
  h.loop.runUntilIdle();
  Json signals = Json::array();
  for (const std::string& own : h.client->outgoingSignals()) signals.push_back(Json{{"payload", own}});
  ASSERT_EQ(signals.size(), 2u);  // our own offer and candidate, sent back
  const SessionCipher stranger = SessionCipher::fromKey(std::array<uint8_t, 32>{});
  for (const Json& s : {Json("not base64!"), Json(5), Json(h.sealText(Json::array({1, 2}))),
                        Json(h.sealText(Json{{"type", "answer"}, {"sdp", "v=0\r\n"}})),
                        Json(h.sealText(Json{{"type", "offer"}, {"sdp", "v=0\r\n"}, {"messageId", newUuid()}})),
                        Json(sealToBase64(stranger, R"({"type":"answer","sdp":"x","messageId":"A"})").value())}) {
    signals.push_back(Json{{"payload", s}});
  }
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
  EXPECT_EQ(h.client->active(), h.technician.id);
  h.client->queueSignal(candidateSignal(1));
  h.client->stopCapture();
  EXPECT_TRUE(h.client->outgoingSignals().empty() && h.client->seenSignals().empty());
}

// ---- capture ----

// Releases the engine's completions until none is left (each may start the next step).
void settle(AgentHarness& h, FakePeerConnection& connection) {
  h.loop.runUntilIdle();
  while (connection.pendingCompletions() > 0) {
    connection.completeAll();
    h.loop.runUntilIdle();
  }
}

TEST(Capture, FailuresToStartPauseTheSessionForGood) {
  enum Kind { kNoDisplay, kPickerFails, kStartFails, kOfferFails };
  for (const Kind kind : {kNoDisplay, kPickerFails, kStartFails, kOfferFails}) {
    AgentHarness h(kApproved);
    if (kind == kNoDisplay) h.picker.observer.didUpdate(ContentFilter{});
    if (kind == kPickerFails) h.picker.observer.startDidFail(makeError("Picker", 3, "It failed"));
    if (kind == kStartFails) h.capture.next.startResult = makeError("X11", 2, "It failed");
    if (kind == kOfferFails) h.engine.options.deferCompletions = true;
    if (kind >= kStartFails) h.pick();
    if (kind == kOfferFails) {
      h.engine.last()->setLocalDescriptionResult(makeError("WebRTC", 5, "It failed"));
      settle(h, *h.engine.last());
    }
    h.loop.runUntilIdle();
    EXPECT_EQ(h.menu.line, kind == kNoDisplay ? "Capture paused: No display was selected" : "Capture paused: It failed");
    EXPECT_EQ(h.client->lifecycle().phaseText(), "paused") << kind;
    EXPECT_EQ(h.client->active(), h.technician.id);
    if (kind == kStartFails) {
      EXPECT_TRUE(h.engine.last()->closed());
      EXPECT_EQ(h.capture.last()->stops, 1);
    }
    h.pick();
    EXPECT_LE(h.capture.streams.size(), 1u);
  }
}

TEST(Capture, WorkOfAnEndedSessionOrAnEarlierStreamChangesNothing) {
  AgentHarness h(kApproved);
  h.capture.next.deferStart = true;
  h.pick();
  auto starting = h.capture.last();
  h.client->endSession();
  starting->pending(Status{});
  h.loop.runUntilIdle();
  EXPECT_GE(starting->stops, 1);
  EXPECT_EQ(std::ranges::count(h.engine.last()->calls(), "createOffer"), 0);

  h.technician = Technician();
  h.capture.next = {};
  h.approve();
  h.engine.options.deferCompletions = true;
  h.pick();
  h.engine.last()->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  h.client->endSession();
  settle(h, *h.engine.last());
  EXPECT_EQ(h.menu.line, "Online · awaiting requests");

  h.technician = Technician();
  h.engine.options.deferCompletions = false;
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

// Numbered input must start at one and keep rising; input without permission
// keeps its number; messages of another session or epoch, or unreadable, are
// dropped; a held button is let go after three seconds; ping is always answered.
TEST(Control, SequenceEpochAndPermissionDecideWhatIsPosted) {
  AgentHarness h(kStreaming);
  h.control(Json{{"kind", "ping"}, {"token", 1234.5}});
  EXPECT_EQ(h.lastChannelMessage(), (Json{{"kind", "pong"}, {"token", 1234.5}}));
  h.access.set(false);
  h.loop.advance(1.0);
  h.control(pointer(1, "hover"));
  h.access.set(true);
  h.loop.advance(1.0);
  const std::pair<Json, size_t> steps[] = {
      {pointer(0, "hover"), 0}, {pointer(1, "hover"), 1}, {pointer(1, "hover", 0.6), 1},
      {pointer(5, "hover", 0.7), 2}, {pointer(4, "hover", 0.8), 2}, {edited(pointer(9, "hover"), {{"seq", nullptr}}), 2},
      {Json{{"kind", "teleport"}, {"seq", 6}}, 2}, {pointer(6, "hover", 0.8), 2}};
  for (const auto& [message, posted] : steps) {
    h.control(message);
    EXPECT_EQ(h.injector.mouse.size(), posted) << message;
  }
  EXPECT_EQ(h.client->lastInputSequence(), 6);
  h.control(pointer(7, "down", 0.5, 0.25));
  h.loop.advance(3.5);
  EXPECT_EQ(h.injector.mouse.back(), (Mouse{MouseEventType::kLeftMouseUp, {720, 225}}));
  h.control(Json{{"kind", "key"}, {"seq", 8}, {"key", "Escape"}});
  EXPECT_EQ(h.injector.keys.size(), 2u);

  const std::string session = h.client->active();
  const int64_t epoch = h.client->generation();
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch - 1);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), "OTHER", epoch);
  h.client->receiveInput(toBytes("not an envelope at all"), session, epoch);
  h.client->receiveInput(h.seal(Json::array({1})), session, epoch);
  EXPECT_EQ(h.client->active(), session);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch);
  EXPECT_EQ(h.client->active(), "");
}

TEST(Control, PingIsAnsweredBeforeCaptureStartsButInputWaitsForPermission) {
  AgentHarness h(kApproved);
  h.capture.next.deferStart = true;  // the peer exists, capture has not started yet
  h.pick();
  h.access.set(false);
  h.loop.advance(1.0);
  h.engine.last()->dataChannel()->setState(DataChannelState::kOpen);
  h.control(Json{{"kind", "ping"}, {"token", 7}});
  EXPECT_EQ(h.lastChannelMessage(), (Json{{"kind", "pong"}, {"token", 7}}));
  h.control(pointer(1, "hover"));
  EXPECT_TRUE(h.injector.mouse.empty());
}

}  // namespace
}  // namespace kx::testing
