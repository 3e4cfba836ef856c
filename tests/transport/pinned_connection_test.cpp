// The host binding and the awaitable send, driven by a fake transport.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "protocol/http.h"
#include "runtime/basic_loop.h"
#include "runtime/task.h"
#include "support/fake_http_transport.h"
#include "transport/send_into.h"

namespace kx {
namespace {

EnrollmentConfiguration enrollment(std::string url) {
  EnrollmentConfiguration configuration;
  configuration.url = std::move(url);
  configuration.token = "t";
  configuration.sitesAccess = "s";
  return configuration;
}

PinnedConnection pinnedTo(std::string url, std::string_view host) {
  auto connection = PinnedConnection::create(enrollment(std::move(url)), host);
  if (!connection) throw std::runtime_error(connection.error().summary());
  return std::move(connection).value();
}

TEST(PinnedConnection, TakesTheHostOfTheServiceAddress) {
  EXPECT_EQ(pinnedTo("https://Support.Example.com:8443/", "support.example.com").host(), "support.example.com");
}

TEST(PinnedConnection, InvalidServiceAddressFailsWithTheAddressError) {
  for (const char* url : {"http://localhost:8443", "https://elsewhere.test", "https://localhost/api", ""}) {
    const auto connection = PinnedConnection::create(enrollment(url), "localhost");
    ASSERT_FALSE(connection.ok()) << url;
    EXPECT_EQ(connection.error(), invalidServiceAddressError()) << url;
  }
}

TEST(PinnedConnection, AllowsHttpsToItsHost) {
  const auto connection = pinnedTo("https://localhost:8443", "localhost");
  for (const char* url : {"https://localhost:8443/api/poll/ABC", "https://localhost/api/admin/devices",
                          "https://LOCALHOST:8443/api/x?y=1"}) {
    EXPECT_TRUE(connection.check(url).ok()) << url;
  }
}

TEST(PinnedConnection, RefusesEverythingElseBeforeSending) {
  const auto connection = pinnedTo("https://localhost:8443", "localhost");
  for (const char* url : {
           "http://localhost:8443/api/poll",          // not https
           "HTTPS://localhost/api/poll",              // not as the app writes it
           "https://127.0.0.1:8443/api/poll",         // same machine, other name
           "https://localhost.evil.test/api/poll",    // look-alike
           "https://evil.test/localhost",             //
           "https://evil.test/?https://localhost/",   //
           "https://localhost@evil.test/api/poll",    // host is evil.test
           "https://user:pw@localhost/api/poll",      // credentials
           "https://local%68ost/api/poll",            // escaped host
           "https://localhost/api/register/has space",  // unescaped caller input
           "/api/poll", "", "localhost/api/poll",
       }) {
    const Status status = connection.check(url);
    ASSERT_FALSE(status.ok()) << url;
    EXPECT_EQ(status.error(), makeError("PinnedConnection", 1, "Refused a request outside the support service."));
  }
}

// --- sendRequest ---

TEST(SendRequest, ResumesWithTheTransportsAnswer) {
  FakeHttpTransport http;
  TaskScope scope;
  std::optional<Expected<HttpResponse>> got;
  scope.spawn(sendInto(http, makeAgentRequest("https://localhost", "poll", Json::object(), "k"), got));
  ASSERT_EQ(http.pending(), 1u);
  EXPECT_EQ(http.next().path(), "/api/poll");
  EXPECT_FALSE(got);
  http.respond(401, R"({"error":"no"})");
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ((*got)->status, 401);
  EXPECT_EQ((*got)->body, R"({"error":"no"})");
}

TEST(SendRequest, AnswerPostedToTheLoopArrivesWhenTheLoopRuns) {
  VirtualLoop loop;
  FakeHttpTransport http(&loop);
  http.answerAll(200, R"({"ok":true})");
  TaskScope scope;
  std::optional<Expected<HttpResponse>> got;
  scope.spawn(sendInto(http, makeConsoleRequest("https://localhost", "whoami", std::nullopt, "t"), got));
  EXPECT_FALSE(got);
  loop.runUntilIdle();
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ((*got)->body, R"({"ok":true})");
}

TEST(SendRequest, SeveralRequestsInFlightCompleteInAnyOrder) {
  FakeHttpTransport http;
  TaskScope scope;
  std::vector<std::string> order;
  auto call = [&](std::string path) -> Task<void> {
    const auto result =
        interpretAgentResponse(co_await sendRequest(http, makeAgentRequest("https://localhost", path, Json::object(), "k")));
    order.push_back(path + (result.ok() ? " ok" : " " + result.error().description));
  };
  scope.spawn(call("poll"));
  scope.spawn(call("end"));
  ASSERT_EQ(http.pending(), 2u);
  http.respondTo("/api/end", 200, "{}");
  http.respondTo("/api/poll", 500, "");
  EXPECT_EQ(order, (std::vector<std::string>{"end ok", "poll Server 500: Request rejected"}));
  EXPECT_EQ(scope.pending(), 0u);
}

TEST(SendRequest, AnswerAfterTheOwnerIsGoneIsIgnored) {
  FakeHttpTransport http;
  bool resumed = false;
  {
    TaskScope scope;
    auto poll = [&]() -> Task<void> {
      (void)co_await sendRequest(http, makeAgentRequest("https://localhost", "poll", Json::object(), "k"));
      resumed = true;
    };
    scope.spawn(poll());
  }
  ASSERT_EQ(http.pending(), 1u);
  http.respond(200, "{}");
  EXPECT_FALSE(resumed);
}

}  // namespace
}  // namespace kx
