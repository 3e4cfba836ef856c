// What the service answers, and the signals it relays, are untrusted: the
// fuzzer plays a hostile service against the real agent and the real console
// (fakes for everything else, virtual time). Every answer is fuzz data; with
// a marker bit it is shaped as the service would shape it (a pending request
// with real keys, signals sealed with the session key) so that the input
// reaches the consent, signal and session code behind the parsers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "tests/agent/agent_harness.h"
#include "tests/console/console_fixture.h"

namespace kx {
namespace {

constexpr int kStatuses[] = {200, 200, 200, 400, 401, 403, 404, 409, 410, 429, 500, 503, 302, 0};
constexpr int kSteps = 48;

int status(uint8_t choice) { return kStatuses[choice % std::size(kStatuses)]; }

void fuzzAgent(FuzzedDataProvider& in) {
  testing::AgentHarness h;
  h.writeJson(testing::AgentHarness::enrollmentFile());
  h.make().start();
  h.loop.runUntilIdle();
  for (int step = 0; step < kSteps && in.remaining_bytes() > 0; ++step) {
    if (!h.dialogs.consent.empty()) {
      h.dialogs.answerConsent(in.ConsumeBool() ? ConsentDecision::kApprove : ConsentDecision::kDeny);
      h.loop.runUntilIdle();
    }
    if (h.picker.presented > 0 && h.client->lifecycle().phaseText() == std::string("approved") && in.ConsumeBool()) {
      h.pick();
    }
    if (h.http.pending() == 0) {
      h.loop.advance(0.5);
      continue;
    }
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    std::string body = in.ConsumeRandomLengthString(16384);
    const std::string path = h.http.next().url();
    if ((choice & 0x80) && path.find("/poll") != std::string::npos) {
      if (choice & 0x40) {
        Json session = h.pendingSession();
        if (auto extra = parseJsonObject(body)) session.update(*extra);
        body = dumpJson(Json{{"session", session}});
      } else if (h.client->hasSessionKey()) {
        // A fuzz object sealed with the session key, or the fuzz text as a payload.
        auto object = parseJsonObject(body);
        const Json signal{{"payload", object ? h.sealText(*object) : body}};
        body = dumpJson(Json{{"session", h.approvedSession(Json::array({signal}))}});
      }
    }
    h.http.respond(status(choice), std::move(body));
    h.loop.runUntilIdle();
    if (h.engine.last() && h.client->hasSessionKey() && (choice & 0x20)) {
      // A control message from the technician's side of the channel.
      if (auto channel = h.engine.last()->dataChannel()) {
        channel->deliver(h.technicianCipher().encrypt(in.ConsumeRandomLengthString(2048)).value());
        h.loop.runUntilIdle();
      }
    }
  }
}

struct ConsoleRun : testing::ConsoleTest {
  void TestBody() override {}
  void run(FuzzedDataProvider& in) {
    SetUp();
    startSession();
    for (int step = 0; step < kSteps && in.remaining_bytes() > 0; ++step) {
      if (!console->sid().empty() && !channel && in.ConsumeBool()) openChannel();
      if (http.pending() == 0) {
        loop.advance(0.5);
        continue;
      }
      const uint8_t choice = in.ConsumeIntegral<uint8_t>();
      std::string body = in.ConsumeRandomLengthString(16384);
      const std::string path = http.next().url();
      if ((choice & 0x80) && path.find("/status") != std::string::npos && macCipher) {
        Json status = {{"state", "approved"}, {"signals", Json::array()}};
        if (auto object = parseJsonObject(body)) status["signals"].push_back(signal(*object));
        body = dumpJson(status);
      }
      http.respond(kx::status(choice), std::move(body));
      loop.runUntilIdle();
      if (channel && macCipher && (choice & 0x20)) {
        channel->deliver(macCipher->encrypt(in.ConsumeRandomLengthString(2048)).value());
        loop.runUntilIdle();
      }
    }
    console.reset();
  }
};

}  // namespace
}  // namespace kx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    kx::fuzzAgent(in);
  } else {
    kx::ConsoleRun run;
    run.run(in);
  }
  return 0;
}
