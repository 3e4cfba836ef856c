// The picked display becomes a capture plus a peer; pauses, stops and stale callbacks.
#include "tests/agent/agent_harness.h"

namespace kx::testing {
namespace {

// Releases the engine's completions until none is left (each may start the next step).
void settle(AgentHarness& h, FakePeerConnection& connection) {
  h.loop.runUntilIdle();
  while (connection.pendingCompletions() > 0) {
    connection.completeAll();
    h.loop.runUntilIdle();
  }
}

bool called(const FakePeerConnection& connection, std::string_view call) {
  for (const auto& c : connection.calls())
    if (c == call) return true;
  return false;
}

TEST(Capture, PickedDisplayIsSharedAtFixedWidth) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick(Rect{0, 0, 2560, 1440});
  auto stream = h.capture.last();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->configuration.width, 1440);
  EXPECT_EQ(stream->configuration.height, 810);
  EXPECT_EQ(stream->outputs.size(), 1u);
  EXPECT_EQ(h.engine.last()->videoSource()->format(), (FakeVideoSource::Format{1440, 810, 30}));
  EXPECT_EQ(h.client->displayBounds(), (Rect{0, 0, 2560, 1440}));
  EXPECT_EQ(h.client->lifecycle().phaseText(), "streaming");
  EXPECT_EQ(h.client->rtcState(), "connecting");
  EXPECT_TRUE(called(*h.engine.last(), "createOffer"));
  EXPECT_EQ(h.menu.line(), "Sharing · approved technician");
  EXPECT_EQ(h.menu.title(), "● KX Sharing");
  EXPECT_EQ(h.statusFile()["captureState"], "streaming");
}

TEST(Capture, SecondPickInTheSameSessionDoesNothing) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  h.pick();
  EXPECT_EQ(h.capture.streams.size(), 1u);
  EXPECT_EQ(h.engine.connections().size(), 1u);
}

TEST(Capture, PickWithoutDisplayPausesForGood) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.didUpdate(ContentFilter{});
  h.loop.runUntilIdle();
  EXPECT_EQ(h.menu.line(), "Capture paused: No display was selected");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
  EXPECT_EQ(h.client->active(), h.technician.id);
  h.pick();
  EXPECT_TRUE(h.capture.streams.empty());
}

TEST(Capture, PickAfterConsentRanOutDoesNothing) {
  AgentHarness h;
  h.startRegistered();
  h.approve(-1);
  h.pick();
  EXPECT_TRUE(h.capture.streams.empty());
  EXPECT_EQ(h.client->lifecycle().phaseText(), "choosing");
}

TEST(Capture, CancelledPickerEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.didCancel();
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_FALSE(h.picker.active);
  EXPECT_EQ(h.respond("/api/device/DEV-1/end", Json::object()).json()["session"], h.technician.id);
}

TEST(Capture, PickerFailurePausesWithItsDescription) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.picker.observer.startDidFail(makeError("Picker", 3, "The display picker could not open"));
  EXPECT_EQ(h.menu.line(), "Capture paused: The display picker could not open");
  EXPECT_EQ(h.client->captureError(), "Capture paused: The display picker could not open");
  EXPECT_EQ(h.statusFile()["captureError"], "Capture paused: The display picker could not open");
}

TEST(Capture, StartFailurePausesAndTearsDown) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.capture.next.startResult = makeError("X11", 2, "Display :1 is gone");
  h.pick();
  EXPECT_EQ(h.menu.line(), "Capture paused: Display :1 is gone");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
  EXPECT_EQ(h.client->peer(), nullptr);
  EXPECT_TRUE(h.engine.last()->closed());
  EXPECT_EQ(h.capture.last()->stops, 1);
}

TEST(Capture, SessionClearedWhileStartingStopsTheNewStream) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.capture.next.deferStart = true;
  h.pick();
  auto stream = h.capture.last();
  h.client->endSession();
  const std::string line = h.menu.line();
  stream->pendingStart(Status{});
  h.loop.runUntilIdle();
  EXPECT_GE(stream->stops, 1);
  EXPECT_FALSE(called(*h.engine.last(), "createOffer"));
  EXPECT_EQ(h.menu.line(), line);
  EXPECT_EQ(h.client->lifecycle().phaseText(), "idle");
}

TEST(Capture, OfferFailingAfterTheSessionEndedLeavesTheMenuAlone) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.engine.options.deferCompletions = true;
  h.pick();
  auto connection = h.engine.last();
  connection->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  h.client->endSession();
  settle(h, *connection);
  EXPECT_EQ(h.menu.line(), "Online · awaiting requests");
}

TEST(Capture, OfferFailurePauses) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.engine.options.deferCompletions = true;
  h.pick();
  auto connection = h.engine.last();
  connection->setLocalDescriptionResult(makeError("WebRTC", 5, "Local description refused"));
  settle(h, *connection);
  EXPECT_EQ(h.menu.line(), "Capture paused: Local description refused");
  EXPECT_EQ(h.client->lifecycle().phaseText(), "paused");
}

TEST(Capture, StopOfTheCurrentStreamEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.capture.last()->onStop(makeError("X11", 1, "The display was disconnected"));
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.menu.line(), "Sharing ended · The display was disconnected");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
}

TEST(Capture, StopReportOfAnEarlierStreamIsIgnored) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  auto first = h.capture.last();
  h.client->endSession();
  h.technician = Technician();
  h.startStreaming();
  ASSERT_NE(h.capture.last(), first);
  first->onStop(makeError("X11", 1, "gone"));
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Capture, StoppedStreamsAreReleasedOnceTheirStopIsConfirmed) {
  AgentHarness h;
  h.startRegistered();
  h.capture.next.deferStop = true;
  h.startStreaming();
  auto stream = h.capture.last();
  h.client->endSession();
  EXPECT_FALSE(stream->destroyed);
  stream->pendingStop(Status{});
  EXPECT_FALSE(stream->destroyed);  // not from inside its own call
  h.loop.runUntilIdle();
  EXPECT_TRUE(stream->destroyed);
}

TEST(Capture, PeerFailureEndsTheSession) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  h.engine.last()->emitIceState(IceConnectionState::kFailed);
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->active(), "");
  EXPECT_EQ(h.client->captureError(), "Real-time connection ended. A new approved session is needed.");
  EXPECT_EQ(h.menu.line(), "Real-time connection ended. A new approved session is needed.");
  EXPECT_TRUE(h.pending("/api/device/DEV-1/end"));
}

TEST(Capture, ConnectingOnlyUpdatesTheState) {
  AgentHarness h;
  h.startRegistered();
  h.approve();
  h.pick();
  h.engine.last()->emitIceState(IceConnectionState::kChecking);
  h.loop.runUntilIdle();
  EXPECT_EQ(h.client->rtcState(), "connecting");
  EXPECT_EQ(h.client->active(), h.technician.id);
}

TEST(Capture, ConnectedPeerTellsTheTechnicianWhatItMayDo) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  const auto messages = h.channelMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            (Json{{"kind", "state"}, {"canControl", true}, {"streaming", true}, {"controlVersion", 4}}));
  EXPECT_EQ(h.client->rtcState(), "connected");
}

TEST(Capture, StopWithNothingRunningPostsNothing) {
  AgentHarness h;
  h.startRegistered();
  h.client->stopCapture();
  EXPECT_EQ(h.client->rtcState(), "idle");
  EXPECT_TRUE(h.injector.mouse.empty());
}

TEST(Capture, OnlyCompleteFramesAreCounted) {
  AgentHarness h;
  h.startRegistered();
  h.startStreaming();
  CaptureOutput* output = h.capture.last()->outputs.front();
  output->onFrame(std::make_shared<FakeFrameBuffer>(1440, 900), 1000, FrameStatus::kIdle);
  output->onFrame(nullptr, 2000, FrameStatus::kComplete);
  output->onFrame(std::make_shared<FakeFrameBuffer>(1440, 900), 3000, FrameStatus::kComplete);
  EXPECT_EQ(h.client->peer()->framesSubmitted(), 1);
  h.client->writeStatus();
  EXPECT_EQ(h.statusFile()["capturedFrames"], 1);
}

}  // namespace
}  // namespace kx::testing
