// How requests to the support service are built, where they may go, how
// answers become results or errors for the agent and the console.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "protocol/http.h"

namespace kx {
namespace {

EnrollmentConfiguration enrollment(std::string url) {
  EnrollmentConfiguration configuration;
  configuration.url = std::move(url);
  configuration.token = "t";
  return configuration;
}

TEST(PinnedConnection, AllowsOnlyHttpsToTheHostOfTheServiceAddress) {
  EXPECT_EQ(PinnedConnection::create(enrollment("https://Support.Example.com:8443/"), "support.example.com")->host(),
            "support.example.com");
  for (const char* url : {"http://localhost:8443", "https://elsewhere.test", "https://localhost/api", ""}) {
    const auto refused = PinnedConnection::create(enrollment(url), "localhost");
    ASSERT_FALSE(refused.ok()) << url;
    EXPECT_EQ(refused.error(), invalidServiceAddressError()) << url;
  }
  const auto connection = PinnedConnection::create(enrollment("https://localhost:8443"), "localhost").value();
  for (const char* url : {"https://localhost:8443/api/poll/ABC", "https://localhost/api/admin/devices",
                          "https://LOCALHOST:8443/api/x?y=1"}) {
    EXPECT_TRUE(connection.check(url).ok()) << url;
  }
  for (const char* url : {
           "http://localhost:8443/api/poll",            // not https
           "HTTPS://localhost/api/poll",                // not as the app writes it
           "https://127.0.0.1:8443/api/poll",           // same machine, other name
           "https://localhost.evil.test/api/poll",      // look-alike
           "https://localhost@evil.test/api/poll",      // host is evil.test
           "https://user:pw@localhost/api/poll",        // credentials
           "https://user@localhost/api/poll",           // a user alone
           "https://local%68ost/api/poll",              // escaped host
           "https://localhost/api/register/has space",  // unescaped caller input
           "/api/poll", "", "localhost/api/poll",
       }) {
    const Status status = connection.check(url);
    ASSERT_FALSE(status.ok()) << url;
    EXPECT_EQ(status.error(), makeError("PinnedConnection", 1, "Refused a request outside the support service."));
  }
}

// The HTTPS transport test sees an agent post and a console read on the wire.
TEST(ServiceRequests, ConsolePostsJson) {
  const HttpRequest post = makeConsoleRequest("https://localhost", "setup-code", Json::object(), "");
  EXPECT_EQ(std::tie(post.method, post.body), std::make_tuple("POST", "{}"));
  EXPECT_THAT(post.headers, ::testing::Contains(::testing::Pair("Content-Type", "application/json")));
}

// What each side makes of an answer: the JSON result, or the error's
// description ("JSON" for a parse error); a transport error passes as it is.
void expectInterpreted(Expected<Json> (*interpret)(Expected<HttpResponse>), const char* domain,
                       std::initializer_list<std::tuple<int, const char*, const char*>> cases) {
  for (const auto& [status, body, outcome] : cases) {
    SCOPED_TRACE(std::to_string(status) + " " + body);
    const auto result = interpret(HttpResponse{status, body});
    if (result.ok()) {
      EXPECT_EQ(*result, Json::parse(outcome));
    } else if (std::string(outcome) == "JSON") {
      EXPECT_EQ(std::tie(result.error().domain, result.error().code), std::make_tuple("JSON", 3840));
      EXPECT_THAT(result.error().description, ::testing::StartsWith("parse error"));
    } else {
      EXPECT_EQ(result.error(), makeError(domain, status, outcome));
    }
  }
  const Error timedOut = makeError("libcurl", 28, "Operation timed out after 12001 milliseconds");
  EXPECT_EQ(interpret(timedOut).error(), timedOut);
}

TEST(ServiceResponses, ForTheAgentOnlyA200ObjectIsAResult) {
  const std::string tooDeep = std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']');
  expectInterpreted(interpretAgentResponse, "KestrelixService",
                    {
                        {200, tooDeep.c_str(), "JSON"},
                        {200, R"({"status":"pending","n":1})", R"({"status":"pending","n":1})"},
                        {200, R"([{"id":"a"}])", "{}"},
                        {200, "", "JSON"},
                        {401, R"({"error":"Unknown device key"})", "Server 401: Unknown device key"},
                        {302, "", "Server 302: Request rejected"},
                        {500, R"({"error":5})", "Server 500: Request rejected"},
                        {201, R"({"ok":true})", "Server 201: Request rejected"},
                    });
}

TEST(ServiceResponses, ForTheConsoleListsBecomeDevicesAndRefusalsShowTheirText) {
  constexpr const char* kUnable = "Unable to connect to the support service";
  expectInterpreted(interpretConsoleResponse, "Kestrelix",
                    {
                        {200, R"([{"id":"a","online":true},{"id":"b"}])",
                         R"({"devices":[{"id":"a","online":true},{"id":"b"}]})"},
                        {200, R"([{"id":"a"},3])", "{}"},
                        {401, R"({"error":"Technician rights required"})", "Technician rights required"},
                        {502, "<html><body>Bad gateway</body></html>", kUnable},
                        {201, R"({"id":"x"})", kUnable},
                    });
}

}  // namespace
}  // namespace kx
