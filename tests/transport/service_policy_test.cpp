// How requests to the support service are built and how answers become
// results or errors, for the agent and the console.
#include <gtest/gtest.h>

#include <string>

#include "protocol/http.h"
#include "support/fake_http_transport.h"

namespace kx {
namespace {

Expected<HttpResponse> answer(int status, std::string body) { return HttpResponse{status, std::move(body)}; }

const Error kTimedOut = makeError("libcurl", 28, "Operation timed out after 12001 milliseconds");

// What each side makes of an answer: the JSON result, or the error's code and description.
struct AnswerCase {
  int status;
  const char* body;
  const char* result;       // JSON text of a success
  const char* description;  // of a failure ("JSON" when a parse error)
};

void expectInterpreted(Expected<Json> (*interpret)(Expected<HttpResponse>), const char* domain,
                       std::initializer_list<AnswerCase> cases) {
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
    const auto result = interpret(answer(c.status, c.body));
    if (c.result) {
      ASSERT_TRUE(result.ok()) << result.error().summary();
      EXPECT_EQ(*result, Json::parse(c.result));
    } else if (std::string(c.description) == "JSON") {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().domain, "JSON");
      EXPECT_EQ(result.error().code, 3840);
      EXPECT_NE(result.error().description.find("parse error"), std::string::npos) << result.error().description;
      EXPECT_NE(result.error().description.front(), '[') << result.error().description;
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error(), makeError(domain, c.status, c.description));
    }
  }
  const auto failed = interpret(kTimedOut);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), kTimedOut);
}

TEST(AgentRequest, PostsCompactJsonToApiPathWithDeviceKey) {
  const RecordedHttpRequest request{
      makeAgentRequest("https://localhost:8443", "poll/DEV-1", Json{{"device", "DEV-1"}, {"n", 2}}, "k3y")};
  EXPECT_EQ(request.url(), "https://localhost:8443/api/poll/DEV-1");
  EXPECT_EQ(request.method(), "POST");
  EXPECT_EQ(request.header("Authorization"), "Bearer k3y");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.body(), R"({"device":"DEV-1","n":2})");
  EXPECT_DOUBLE_EQ(request.timeoutSeconds(), 12);
  const RecordedHttpRequest anonymous{makeAgentRequest("https://localhost", "register", Json::object(), "")};
  EXPECT_EQ(anonymous.header("Authorization"), "Bearer ");
  EXPECT_EQ(anonymous.body(), "{}");
}

TEST(AgentResponse, OnlyA200ObjectIsAResult) {
  expectInterpreted(interpretAgentResponse, "KestrelixService",
                    {
                        {200, R"({"status":"pending","n":1})", R"({"status":"pending","n":1})", nullptr},
                        {200, "[]", "{}", nullptr},
                        {200, R"([{"id":"a"}])", "{}", nullptr},
                        {200, "3", "{}", nullptr},
                        {200, "null", "{}", nullptr},
                        {200, "", nullptr, "JSON"},
                        {200, "<html>ok</html>", nullptr, "JSON"},
                        {200, R"({"a":)", nullptr, "JSON"},
                        {200, "{\"a\":\"\xff\"}", nullptr, "JSON"},
                        {401, R"({"error":"Unknown device key"})", nullptr, "Server 401: Unknown device key"},
                        {403, R"({"error":""})", nullptr, "Server 403: "},
                        {302, "", nullptr, "Server 302: Request rejected"},
                        {500, R"({"error":5})", nullptr, "Server 500: Request rejected"},
                        {404, R"([{"error":"x"}])", nullptr, "Server 404: Request rejected"},
                        {502, "<html>Bad gateway</html>", nullptr, "Server 502: Request rejected"},
                        {0, "", nullptr, "Server 0: Request rejected"},
                        {201, R"({"ok":true})", nullptr, "Server 201: Request rejected"},
                        {204, R"({"ok":true})", nullptr, "Server 204: Request rejected"},
                    });
}

TEST(ConsoleRequest, GetWithoutBodyPostWithIt) {
  const RecordedHttpRequest get{makeConsoleRequest("https://localhost:8443", "devices", std::nullopt, "tok")};
  EXPECT_EQ(get.url(), "https://localhost:8443/api/admin/devices");
  EXPECT_EQ(get.method(), "GET");
  EXPECT_EQ(get.body(), "");
  EXPECT_EQ(get.header("Content-Type"), std::nullopt);
  EXPECT_EQ(get.header("Authorization"), "Bearer tok");
  EXPECT_DOUBLE_EQ(get.timeoutSeconds(), 8);
  const RecordedHttpRequest post{makeConsoleRequest("https://localhost", "setup-code", Json::object(), "")};
  EXPECT_EQ(post.method(), "POST");
  EXPECT_EQ(post.body(), "{}");
  EXPECT_EQ(post.header("Content-Type"), "application/json");
  EXPECT_EQ(post.header("Authorization"), "Bearer ");
}

TEST(ConsoleResponse, ListsBecomeDevicesAndRefusalsShowTheirText) {
  constexpr const char* kUnable = "Unable to connect to the support service";
  expectInterpreted(interpretConsoleResponse, "Kestrelix",
                    {
                        {200, R"([{"id":"a","online":true},{"id":"b"}])",
                         R"({"devices":[{"id":"a","online":true},{"id":"b"}]})", nullptr},
                        {200, "[]", R"({"devices":[]})", nullptr},
                        {200, R"({"devices":[{"id":"a"}],"name":"Ann"})", R"({"devices":[{"id":"a"}],"name":"Ann"})",
                         nullptr},
                        {200, R"([{"id":"a"},3])", "{}", nullptr},
                        {200, "[[]]", "{}", nullptr},
                        {200, "42", "{}", nullptr},
                        {200, "null", "{}", nullptr},
                        {200, "<html></html>", nullptr, "JSON"},
                        {401, R"({"error":"Technician rights required"})", nullptr, "Technician rights required"},
                        {502, "<html><body>Bad gateway</body></html>", nullptr, kUnable},
                        {500, R"({"error":null})", nullptr, kUnable},
                        {302, "", nullptr, kUnable},
                        {0, "", nullptr, kUnable},
                        {201, R"({"id":"x"})", nullptr, kUnable},
                    });
}

}  // namespace
}  // namespace kx
