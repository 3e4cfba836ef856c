// The client agent on fakes and virtual time: launch, registration and
// enrollment, the service poll, consent, signalling, capture and the
// technician's control messages. The rules the agent only relays (control
// message parsing, pointer state, peer limits, enrollment parsing) are tested
// where they live; here each is wired once.
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "agent/consent_lease.h"
#include "agent/worker_thread.h"
#include "protocol/platform_texts.h"
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

using enum Stage;

constexpr ConsentDecision kApprove = ConsentDecision::kApprove, kDeny = ConsentDecision::kDeny;

Json edited(Json json, const Json& patch) {
  json.merge_patch(patch);
  return json;
}

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// ---- the agent's own value types ----

TEST(ConsentLease, ServiceExpiryBecomesAnUptimeDurationOfAtMostThirtyMinutes) {
  constexpr double kWall = 1.8e9, kUptime = 5000;
  const std::pair<std::optional<double>, double> cases[] = {
      {kWall + 600, 600}, {kWall + 7200, 1800}, {std::nullopt, 1800},
      {std::numeric_limits<double>::infinity(), 1800}, {kWall - 60, 0}};
  for (const auto& [expiry, remaining] : cases) {
    ConsentLease lease;
    lease.approve(expiry, kWall, kUptime);
    EXPECT_TRUE(lease.isValid(kUptime + remaining - 0.1));
    EXPECT_FALSE(lease.isValid(kUptime + remaining));
    lease.end();
    EXPECT_FALSE(lease.isValid(kUptime));
  }
}

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

TEST(SettingsFolder, PrivateWithItsParentsAndUnderXdgDataHome) {
  const TempDir temp("kx-folder");
  ASSERT_TRUE(createPrivateFolder(temp / "a/b/KX"));
  ASSERT_TRUE(createPrivateFolder(temp / "a/b/KX"));
  EXPECT_EQ(modeOf(temp / "a/b/KX"), 0700u);
  ASSERT_TRUE(writeFileAtomically(temp / "file", "x"));
  EXPECT_FALSE(createPrivateFolder(temp / "file/sub"));
  {
    const ScopedEnv absolute("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(defaultSettingsFolder(), "/srv/data/Kestrelix Remote Test");
  }
  const ScopedEnv relative("XDG_DATA_HOME", "relative");  // not absolute: ignored, as XDG says
  EXPECT_TRUE(defaultSettingsFolder().ends_with("/.local/share/Kestrelix Remote Test"));
}

// ---- launch, quit, restart ----

TEST(StartUp, SetupOpensForANewBuildMissingInputControlOrNoRegistrationOnly) {
  const struct {
    std::optional<std::string> shownVersion;
    bool inputGranted, registered;
    int windows;
  } cases[] = {{"0.4.9", true, true, 1}, {{}, true, true, 1}, {"0.5.0", false, true, 1}, {"0.5.0", true, false, 1},
               {"0.5.0", true, true, 0}};
  for (const auto& c : cases) {
    AgentHarness h;
    h.desktop.shownVersion = c.shownVersion;
    if (!c.inputGranted) h.access.deny();
    Json file = AgentHarness::enrollmentFile();
    if (c.registered) file.update(Json{{"device", "DEV-1"}, {"key", "KEY-1"}});
    h.writeSettings(file);
    h.make().start();
    h.loop.runUntilIdle();
    EXPECT_EQ(h.setup.made, c.windows) << c.shownVersion.value_or("-") << c.inputGranted << c.registered;
    EXPECT_EQ(h.desktop.shownVersion, "0.5.0");
  }
}

TEST(StartUp, NothingRunsWhenAnotherCopyRunsOrTheFolderCannotBeMade) {
  AgentHarness copy, noFolder;
  copy.desktop.others = {"/opt/old/bin/kestrelix-remote", ""};
  noFolder.createFolder = [](const std::string&) -> Status { return makeError("File", 13, "Permission denied"); };
  noFolder.writeSettings(AgentHarness::enrollmentFile());
  for (AgentHarness* h : {&copy, &noFolder}) {
    h->make().start();
    h->loop.advance(10);
    EXPECT_TRUE(h->http.sent().empty());
    EXPECT_EQ(h->access.reads, 0);
    EXPECT_EQ(h->setup.made, 0);
  }
  EXPECT_EQ(noFolder.menu.line, "Cannot create client settings");
  EXPECT_FALSE(std::filesystem::exists(copy.folder));
  ASSERT_EQ(copy.dialogs.alerts.size(), 1u);
  EXPECT_EQ(copy.dialogs.alerts[0].message, "Kestrelix Remote Test is already running");
  EXPECT_TRUE(copy.dialogs.alerts[0].informativeText.ends_with("/opt/old/bin/kestrelix-remote\nUnknown location"));
  EXPECT_EQ(copy.desktop.terminations, 0);
  copy.dialogs.alerts[0].dismissed();
  EXPECT_EQ(copy.desktop.terminations, 1);
}

TEST(Quit, EndsTheSessionAtTheServiceFirstButWaitsTwoSecondsAtMost) {
  for (const bool serviceAnswers : {true, false}) {
    AgentHarness h(kStreaming);
    h.client->quit();
    EXPECT_EQ(h.client->active(), "");
    if (serviceAnswers) { EXPECT_EQ(h.respond(kEnd).json()["session"], h.technician.id); }
    h.loop.advance(1.9);
    EXPECT_EQ(h.desktop.terminations, serviceAnswers ? 1 : 0);
    h.loop.advance(0.2);
    EXPECT_EQ(h.desktop.terminations, 1);
  }
  AgentHarness idle(kRegistered);
  const size_t sent = idle.http.sent().size();
  idle.client->quit();
  EXPECT_EQ(idle.desktop.terminations, 1);
  EXPECT_EQ(idle.http.sent().size(), sent);
}

TEST(Restart, EndsTheSessionThenRelaunchesOnce) {
  AgentHarness h(kStreaming);
  h.client->restartForPermissions();
  h.client->restartForPermissions();
  EXPECT_TRUE(h.desktop.launched.empty());
  EXPECT_EQ(h.respond(kEnd, Json::object(), 500).json()["session"], h.technician.id);
  ASSERT_EQ(h.desktop.launched.size(), 1u);
  EXPECT_EQ(h.desktop.launched[0].arguments.at(3), "4242");
  EXPECT_EQ(h.desktop.launched[0].arguments.at(4), "/opt/kestrelix/bin/kestrelix-remote");
  EXPECT_EQ(h.desktop.terminations, 1);
}

// ---- status file, input permission ----

TEST(StatusFile, HoldsTheStateAndIsRewrittenWholeOnlyOnChangeAndAtContacts) {
  AgentHarness h(kStreaming);
  h.client->writeStatus();
  EXPECT_EQ(h.statusFile()["captureState"], "streaming");
  EXPECT_EQ(h.statusFile()["runtimeIdentity"]["processID"], 4242);
  auto inode = [&] {
    struct stat info {};
    return stat(h.statusPath().c_str(), &info) == 0 ? info.st_ino : 0;
  };
  h.poll(Json{{"session", h.approvedSession()}});
  ino_t seen = inode();
  ASSERT_TRUE(h.advanceUntilPending(kPoll));  // the next contact rewrites it; then it hangs
  EXPECT_NE(inode(), seen);
  seen = inode();
  h.loop.advance(10);
  EXPECT_EQ(inode(), seen);
  h.access.deny();
  h.loop.advance(1);
  EXPECT_NE(inode(), seen);
  EXPECT_EQ(h.statusFile()["inputAccess"], "denied");
  EXPECT_EQ(modeOf(h.statusPath()), 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(h.folder), {}), 2);  // no temporary files left
}

TEST(InputPermission, ReadOneAtATimeRequestedOnceChangesReachTheTechnicianAndRevocationLetsGoOfAHeldButton) {
  AgentHarness h;
  h.access.deny();
  h.background.runAtOnce = false;
  h.startRegistered();
  h.loop.advance(5);
  EXPECT_EQ(h.background.queued.size(), 1u);
  h.client->inputPermission();
  h.client->inputPermission();
  EXPECT_TRUE(h.setup.window->restartRequired);
  for (int i = 0; i < 3; ++i) {  // the read, the request, then the read after it
    h.background.runQueued();
    h.loop.runUntilIdle();
  }
  EXPECT_EQ(h.access.requests, 1);
  ASSERT_EQ(h.dialogs.alerts.size(), 1u);
  EXPECT_EQ(h.dialogs.alerts[0].informativeText, kLinuxTexts.inputAccessHelp);
  h.background.runAtOnce = true;
  h.startStreaming();
  h.access.grant();
  h.loop.advance(1.0);
  EXPECT_EQ(h.lastChannelMessage(),
            (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  EXPECT_EQ(h.setup.window->permission, "granted");
  h.control(Json{{"kind", "pointer"}, {"seq", 1}, {"action", "down"}, {"x", 0.25}, {"y", 0.5}});
  h.access.deny();
  h.loop.advance(1.0);
  ASSERT_EQ(h.injector.mouse.size(), 2u);
  EXPECT_EQ(h.injector.mouse[1], (FakeInputInjector::Mouse{MouseEventType::kLeftMouseUp, {360, 450}, MouseButton::kLeft, 1}));
}

// ---- enrollment ----

// First launch: nothing is sent until a code is typed; a failed registration
// comes back every five seconds; the identity then replaces the one-time code.
TEST(Enrollment, TypedCodeRegistersRetryingEveryFiveSecondsAndTheIdentityReplacesIt) {
  AgentHarness h;
  h.hostName = "";
  h.make().start();
  h.loop.advance(6);
  EXPECT_EQ(h.menu.line, "Not enrolled · import enrollment file");
  EXPECT_TRUE(h.http.sent().empty());
  h.setup.actions.codeEnrollment("ABCDEF0123456789ABC");
  EXPECT_EQ(h.setup.window->error, "Enter the full setup code supplied by your support team.");
  h.setup.actions.codeEnrollment(" abcd-ef01 2345\t6789-abcd ");
  EXPECT_EQ(h.transportHosts, std::vector<std::string>{"support.kx.test"});
  EXPECT_EQ(h.http.next().json()["name"], kPlatformTexts.defaultDeviceName);  // the rest of the body meets the real service
  const std::pair<std::function<void()>, std::string> failures[] = {
      {[&] { h.respond("/api/enroll", Json{{"id", "DEV-1"}}); },
       "Invalid registration (1): The operation couldn\u2019t be completed. (Invalid registration error 1.)"},
      {[&] { h.http.fail(makeError("libcurl", 7, "Couldn't connect to server")); }, "libcurl (7): Couldn't connect to server"},
  };
  for (const auto& [fail, error] : failures) {
    ASSERT_TRUE(h.pending("/api/enroll"));
    fail();
    EXPECT_EQ(h.client->registrationError(), error);
    EXPECT_EQ(h.statusFile()["registrationError"], error);
    EXPECT_EQ(h.menu.line, "Connection failed · see Connection details");
    h.loop.advance(4.9);
    EXPECT_FALSE(h.pending("/api/enroll"));
    h.loop.advance(0.2);
  }
  h.respond("/api/enroll", Json{{"id", "DEV-9"}, {"key", "KEY-9"}});
  const Json stored = h.storedSettings();
  EXPECT_EQ(std::tie(stored["device"], stored["key"], stored["token"]), std::tie("DEV-9", "KEY-9", ""));
  EXPECT_EQ(h.menu.line, "Online · awaiting requests");
  h.setup.actions.codeEnrollment("ABCDEF0123456789ABCD");  // ignored once registered
  EXPECT_FALSE(h.pending("/api/enroll"));
  h.setup.actions.technician();
  EXPECT_EQ(h.technicianDevice(), "DEV-9");
  SetupWindowActions actions = h.setup.actions;
  h.client.reset();
  actions.login();
  EXPECT_EQ(h.desktop.loginCalls, 0);  // the actions outlive the agent harmlessly
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
      std::filesystem::remove(h.settingsPath());
      std::filesystem::create_directory(h.settingsPath());
    }
    h.client->importEnrollment();
    if (kind == kApprovedMeanwhile) {
      h.approve();
      h.client->importEnrollment();  // refused during a session: no second panel
      EXPECT_EQ(h.dialogs.panels.size(), 1u);
    }
    Json file = AgentHarness::enrollmentFile("NEW");
    if (kind == kBadAddress) file["url"] = "http://support.kx.test";
    h.dialogs.choose(kind == kCancelled ? std::nullopt : std::optional(h.writeFile("new.json", file)));
    EXPECT_EQ(h.dialogs.alerts.size(), kind == kBadAddress || kind == kUnwritable ? 1u : 0u) << kind;
    if (kind == kAccepted) {
      EXPECT_EQ(h.storedSettings()["token"], "NEW");
      EXPECT_EQ(modeOf(h.settingsPath()), 0600u);
      h.respond(kPoll);
      EXPECT_FALSE(h.client->processing());
      EXPECT_EQ(h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}}).json()["token"], "NEW");
      EXPECT_TRUE(h.advanceUntilPending(kPoll, 1));
      continue;
    }
    EXPECT_FALSE(h.pending("/api/enroll"));
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
  const RecordedHttpRequest& request = h.pendingRequest("/api/enroll");
  EXPECT_EQ(request.header("Authorization"), "Bearer KEY-1");
  EXPECT_EQ(std::tie(request.json()["device"], request.json()["token"]), std::tie("DEV-1", ""));
  h.respond("/api/enroll", Json::object(), 500);
  h.loop.advance(10);
  EXPECT_EQ(h.sentTo(kPoll), 1u);
  EXPECT_EQ(h.pendingRequest("/api/enroll").json()["device"], "DEV-1");  // a failure keeps the identity
  h.respond("/api/enroll", Json{{"id", "DEV-1"}, {"key", "KEY-1"}});
  EXPECT_TRUE(h.advanceUntilPending(kPoll, 1));
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
    EXPECT_FALSE(h.client->hasSessionKey() || h.picker.active) << c.cause;
    EXPECT_TRUE(h.menu.line.starts_with(c.line)) << c.cause << ": " << h.menu.line;
    EXPECT_EQ(h.sentTo(kEnd), c.endSent ? 1u : 0u) << c.cause;
    if (c.endSent) { EXPECT_EQ(h.pendingRequest(kEnd).json()["session"], h.technician.id) << c.cause; }
    EXPECT_EQ(h.pending("/api/enroll"), c.registersAgain) << c.cause;
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
    Json session = h.pendingSession();
    if (denied) session.erase("technician");
    h.poll(Json{{"session", session}});
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
    EXPECT_FALSE(h.pending("/api/enroll"));
    if (approved) continue;
    // A refused request the service still offers is refused again, unasked.
    h.poll(Json{{"session", h.pendingSession()}});
    EXPECT_EQ(h.dialogs.prompts.size(), denied ? 1u : 2u);
    if (denied) { EXPECT_EQ(h.respond(kDecision).json()["approve"], false); }
  }
}

TEST(Consent, EndsOnItsUptimeDeadlineWhateverTheWallClockOrAHangingContact) {
  AgentHarness h(kRegistered);
  h.approve(/*expiresIn=*/30);
  const double deadline = *h.client->consentLease().deadline();
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

TEST(Consent, NewApprovalReplacesARunningSessionAndTheMenuEndsOne) {
  AgentHarness h(kStreaming);
  EXPECT_EQ(h.menu.sharing, "Alex");
  const std::string first = h.client->active();
  auto firstStream = h.capture.last();
  h.technician = Technician();
  h.approve();
  EXPECT_EQ(h.client->active(), h.technician.id);
  EXPECT_EQ(firstStream->stops, 1);
  EXPECT_EQ(h.respond(kEnd).json()["session"], first);
  h.client->endSession();
  EXPECT_EQ(h.client->lifecycle().phaseText(), "idle");
  EXPECT_EQ(h.menu.sharing, std::nullopt);
  EXPECT_EQ(h.respond(kEnd).json()["session"], h.technician.id);
  const size_t sent = h.http.sent().size();
  h.client->endSession();  // without a session: only cleared
  EXPECT_EQ(h.http.sent().size(), sent);
}

// ---- signalling ----

Json candidateSignal(int n) {
  return Json{{"type", "candidate"},
              {"candidate", {{"candidate", "candidate:" + std::to_string(n) + " 1 udp 1 127.0.0.1 9 typ host"},
                             {"sdpMid", "0"}, {"sdpMLineIndex", 0}}}};
}

TEST(Signals, PickedDisplayIsOfferedAtOnceThenEachContactAwaitingTheAnswerComesAnIntervalLater) {
  AgentHarness h(kApproved);
  h.pick(Rect{0, 0, 2560, 1440});
  h.pick();  // shared once
  ASSERT_EQ(h.capture.streams.size(), 1u);
  EXPECT_EQ(h.engine.connections().size(), 1u);
  EXPECT_EQ(h.engine.last()->videoSource()->format(), (FakeVideoSource::Format{1440, 810, 30}));
  EXPECT_EQ(h.menu.title, "● KX Sharing");
  h.capture.last()->outputs.at(0)->onFrame(std::make_shared<FakeFrameBuffer>(1440, 810), 1000, FrameStatus::kComplete);
  EXPECT_EQ(h.client->peer()->framesSubmitted(), 1);
  h.loop.advance(0.06);  // not held back by the contact of the approval
  ASSERT_TRUE(h.pending(kSignal));
  EXPECT_FALSE(h.pending(kPoll));
  const Json body = h.respond(kSignal).json();
  ASSERT_EQ(body["payloads"].size(), 1u);
  const Json offer = parseJson(openFromBase64(h.technicianCipher(), body["payloads"][0].get<std::string>()).value()).value();
  EXPECT_EQ(offer["type"], "offer");
  EXPECT_TRUE(isCanonicalUuid(offer["messageId"].get<std::string>()));
  EXPECT_TRUE(h.client->outgoingSignals().empty());
  const auto untilNextContact = [&] {
    double waited = 0;
    for (; !h.pending(kPoll) && waited < 3; waited += 0.01) h.loop.advance(0.01);
    return waited;
  };
  for (int contact = 0; contact < 3; ++contact) {
    ASSERT_TRUE(h.pending(kPoll));
    h.respond(kPoll, Json{{"session", h.approvedSession()}});
    // The timer's ticks alone would make it about 1.5 s.
    EXPECT_NEAR(untilNextContact(), 1.0, 0.03) << contact;
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
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line, "Connection ended: Server 429: Too many signals");
}

TEST(Signals, AnswerAndCandidatesReachThePeerOnceAndOnlyWhileStreaming) {
  AgentHarness h(kApproved);
  Json answer{{"type", "answer"}, {"sdp", "v=0\r\ns=answer\r\n"}, {"messageId", newUuid()}};
  Json candidate = candidateSignal(7);
  candidate["messageId"] = newUuid();
  h.deliverSignals({answer});
  EXPECT_TRUE(h.client->seenSignals().empty());
  h.pick();
  auto connection = h.engine.last();
  connection->emitIceState(IceConnectionState::kConnected);
  h.loop.runUntilIdle();
  for (int relay = 0; relay < 2; ++relay) h.deliverSignals({candidate, answer});  // the service relays twice
  EXPECT_EQ(connection->addedCandidates().size(), 1u);
  EXPECT_EQ(std::ranges::count(connection->calls(), "setRemoteDescription:answer"), 1);
  EXPECT_EQ(h.client->active(), h.technician.id);
  h.client->queueSignal(candidateSignal(1));
  h.client->stopCapture();
  EXPECT_TRUE(h.client->outgoingSignals().empty());
  EXPECT_TRUE(h.client->seenSignals().empty());
}

TEST(Signals, ReflectedUnreadableAndExcessSignalsAreSkipped) {
  AgentHarness h(kStreaming);
  h.engine.last()->emitLocalCandidate(IceCandidate{"candidate:1 1 udp 1 127.0.0.1 9 typ host", 0, "0"});
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
  EXPECT_TRUE(h.engine.last()->addedCandidates().empty());
  EXPECT_FALSE(h.engine.last()->remoteDescription());
  EXPECT_TRUE(h.client->seenSignals().empty());
  std::vector<Json> notes;
  for (int i = 0; i < 513; ++i) notes.push_back(Json{{"type", "note"}, {"messageId", "M" + std::to_string(i)}});
  h.deliverSignals(notes);
  EXPECT_EQ(h.client->seenSignals().size(), 512u);
  h.deliverSignals({Json{{"type", "answer"}, {"sdp", "v=0\r\n"}, {"messageId", newUuid()}}});
  EXPECT_FALSE(h.engine.last()->remoteDescription());  // once full, even a real answer
  EXPECT_EQ(h.client->active(), h.technician.id);
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
      EXPECT_EQ(h.client->peer(), nullptr);
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
  const std::string line = h.menu.line;
  starting->pending(Status{});
  h.loop.runUntilIdle();
  EXPECT_GE(starting->stops, 1);
  EXPECT_EQ(h.menu.line, line);
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

Json pointer(int64_t seq, std::string action, double x, double y) {
  return Json{{"kind", "pointer"}, {"seq", seq}, {"action", std::move(action)}, {"x", x}, {"y", y}};
}

struct Control : ::testing::Test {
  AgentHarness h{kStreaming};
};

TEST_F(Control, SequenceMustStartAtOneAndKeepRisingAndInputWithoutPermissionKeepsItsNumber) {
  h.access.deny();
  h.loop.advance(1.0);
  h.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_EQ(h.client->lastInputSequence(), 0);
  h.access.grant();
  h.loop.advance(1.0);
  Json unnumbered = pointer(9, "hover", 0.9, 0.5);
  unnumbered.erase("seq");
  const std::pair<Json, size_t> steps[] = {
      {pointer(0, "hover", 0.5, 0.5), 0}, {pointer(1, "hover", 0.5, 0.5), 1}, {pointer(1, "hover", 0.6, 0.5), 1},
      {pointer(5, "hover", 0.7, 0.5), 2}, {pointer(4, "hover", 0.8, 0.5), 2}, {unnumbered, 2},
      {Json{{"kind", "teleport"}, {"seq", 6}}, 2}, {pointer(6, "hover", 0.8, 0.5), 2}};
  for (const auto& [message, posted] : steps) {
    h.control(message);
    EXPECT_EQ(h.injector.mouse.size(), posted) << message;
  }
  EXPECT_EQ(h.client->lastInputSequence(), 6);
}

TEST_F(Control, MessagesOfAnotherSessionOrEpochOrUnreadableAreDropped) {
  const std::string session = h.client->active();
  const int64_t epoch = h.client->generation();
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch - 1);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), "OTHER", epoch);
  h.client->receiveInput(toBytes("not an envelope at all"), session, epoch);
  h.client->receiveInput(h.seal(Json::array({1})), session, epoch);
  EXPECT_EQ(h.client->active(), session);
  h.client->receiveInput(h.seal(Json{{"kind", "end"}}), session, epoch);
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.respond(kEnd).json()["session"], session);
}

TEST_F(Control, PointerLandsInTheDisplayAndAHeldButtonIsLetGoAfterThreeSeconds) {
  h.control(pointer(1, "down", 0.5, 0.25));
  h.loop.advance(3.5);
  using Mouse = FakeInputInjector::Mouse;
  EXPECT_EQ(h.injector.mouse, (std::vector<Mouse>{{MouseEventType::kLeftMouseDown, {720, 225}, MouseButton::kLeft, 1},
                                                  {MouseEventType::kLeftMouseUp, {720, 225}, MouseButton::kLeft, 1}}));
  h.control(Json{{"kind", "key"}, {"seq", 2}, {"key", "Escape"}});
  EXPECT_EQ(h.injector.keys.size(), 2u);
}

TEST_F(Control, PingIsAnsweredInEveryPhaseEvenWithoutPermission) {
  h.control(Json{{"kind", "ping"}, {"token", 1234.5}});
  EXPECT_EQ(h.lastChannelMessage(), (Json{{"kind", "pong"}, {"token", 1234.5}}));
  EXPECT_EQ(h.client->lastInputSequence(), 0);

  AgentHarness starting(kApproved);
  starting.capture.next.deferStart = true;  // the peer exists, capture has not started yet
  starting.pick();
  starting.access.deny();
  starting.loop.advance(1.0);
  starting.engine.last()->dataChannel()->setState(DataChannelState::kOpen);
  starting.control(Json{{"kind", "ping"}, {"token", 7}});
  EXPECT_EQ(starting.lastChannelMessage(), (Json{{"kind", "pong"}, {"token", 7}}));
  starting.control(pointer(1, "hover", 0.5, 0.5));
  EXPECT_TRUE(starting.injector.mouse.empty());
}

}  // namespace
}  // namespace kx::testing
