// How requests to the support service are built and how answers become
// results or errors, for the agent and the console.
#include <gtest/gtest.h>

#include <string>

#include "protocol/http.h"
#include "support/fake_http_transport.h"

namespace kx {
namespace {

Expected<HttpResponse> answer(int status, std::string body) { return HttpResponse{status, std::move(body)}; }

RecordedHttpRequest recorded(HttpRequest request) { return RecordedHttpRequest{std::move(request)}; }

const Error kTimedOut = makeError("libcurl", 28, "Operation timed out after 12001 milliseconds");

// --- Agent ---

TEST(AgentRequest, PostsCompactJsonToApiPathWithDeviceKey) {
  const auto request = recorded(makeAgentRequest("https://localhost:8443", "poll/DEV-1",
                                                 Json{{"device", "DEV-1"}, {"n", 2}}, "k3y"));
  EXPECT_EQ(request.url(), "https://localhost:8443/api/poll/DEV-1");
  EXPECT_EQ(request.method(), "POST");
  EXPECT_EQ(request.header("Authorization"), "Bearer k3y");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.json(), (Json{{"device", "DEV-1"}, {"n", 2}}));
  EXPECT_EQ(request.body().find_first_of(" \n"), std::string::npos);
  EXPECT_DOUBLE_EQ(request.timeoutSeconds(), 12);
}

TEST(AgentRequest, EmptySecretStillSendsBearer) {
  const auto request = recorded(makeAgentRequest("https://localhost", "register", Json::object(), ""));
  EXPECT_EQ(request.header("Authorization"), "Bearer ");
  EXPECT_EQ(request.body(), "{}");
}

TEST(AgentResponse, ObjectIsTheResult) {
  const auto result = interpretAgentResponse(answer(200, R"({"status":"pending","n":1})"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, (Json{{"status", "pending"}, {"n", 1}}));
}

TEST(AgentResponse, OtherJsonGivesEmptyObject) {
  for (const char* body : {"[]", R"([{"id":"a"}])", "3", R"("text")", "null", "true"}) {
    const auto result = interpretAgentResponse(answer(200, body));
    ASSERT_TRUE(result.ok()) << body;
    EXPECT_EQ(*result, Json::object()) << body;
  }
}

TEST(AgentResponse, SuccessThatIsNotJsonIsParseError) {
  for (const char* body : {"", "<html>ok</html>", R"({"a":)", "{\"a\":\"\xff\"}"}) {
    const auto result = interpretAgentResponse(answer(200, body));
    ASSERT_FALSE(result.ok()) << body;
    EXPECT_EQ(result.error().domain, "JSON");
    EXPECT_EQ(result.error().code, 3840);
    EXPECT_NE(result.error().description.find("parse error"), std::string::npos) << result.error().description;
    EXPECT_NE(result.error().description.front(), '[') << result.error().description;
  }
}

TEST(AgentResponse, RefusalCarriesServiceErrorText) {
  const auto result = interpretAgentResponse(answer(401, R"({"error":"Unknown device key"})"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), makeError("KestrelixService", 401, "Server 401: Unknown device key"));
}

TEST(AgentResponse, EmptyServiceErrorTextIsKept) {
  const auto result = interpretAgentResponse(answer(403, R"({"error":""})"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().description, "Server 403: ");
}

TEST(AgentResponse, RefusalWithoutErrorTextIsRequestRejected) {
  struct Case {
    int status;
    const char* body;
  };
  for (const Case& c : {Case{302, ""}, Case{500, R"({"error":5})"}, Case{404, R"([{"error":"x"}])"},
                        Case{502, "<html>Bad gateway</html>"}, Case{0, ""}}) {
    const auto result = interpretAgentResponse(answer(c.status, c.body));
    ASSERT_FALSE(result.ok()) << c.status;
    EXPECT_EQ(result.error(), makeError("KestrelixService", c.status,
                                        "Server " + std::to_string(c.status) + ": Request rejected"));
  }
}

TEST(AgentResponse, OnlyStatus200Succeeds) {
  for (int status : {201, 204, 299, 304}) {
    const auto result = interpretAgentResponse(answer(status, R"({"ok":true})"));
    ASSERT_FALSE(result.ok()) << status;
    EXPECT_EQ(result.error().code, status);
  }
}

TEST(AgentResponse, TransportErrorPassesThroughUnchanged) {
  const auto result = interpretAgentResponse(kTimedOut);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), kTimedOut);
}

// --- Console ---

TEST(ConsoleRequest, WithoutBodyIsGetWithoutContentType) {
  const auto request = recorded(makeConsoleRequest("https://localhost:8443", "devices", std::nullopt, "tok"));
  EXPECT_EQ(request.url(), "https://localhost:8443/api/admin/devices");
  EXPECT_EQ(request.method(), "GET");
  EXPECT_EQ(request.body(), "");
  EXPECT_EQ(request.header("Content-Type"), std::nullopt);
  EXPECT_EQ(request.header("Authorization"), "Bearer tok");
  EXPECT_DOUBLE_EQ(request.timeoutSeconds(), 8);
}

TEST(ConsoleRequest, EmptyObjectBodyIsPostOfBraces) {
  const auto request = recorded(makeConsoleRequest("https://localhost", "setup-code", Json::object(), ""));
  EXPECT_EQ(request.method(), "POST");
  EXPECT_EQ(request.body(), "{}");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Authorization"), "Bearer ");
}

TEST(ConsoleResponse, ListOfObjectsBecomesDevices) {
  const auto result = interpretConsoleResponse(answer(200, R"([{"id":"a","online":true},{"id":"b"}])"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, (Json{{"devices", Json::array({{{"id", "a"}, {"online", true}}, {{"id", "b"}}})}}));
}

TEST(ConsoleResponse, EmptyListIsAnEmptyDeviceList) {
  const auto result = interpretConsoleResponse(answer(200, "[]"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, (Json{{"devices", Json::array()}}));
}

TEST(ConsoleResponse, ObjectIsReturnedAsIs) {
  const auto result = interpretConsoleResponse(answer(200, R"({"devices":[{"id":"a"}],"name":"Ann"})"));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, Json::parse(R"({"devices":[{"id":"a"}],"name":"Ann"})"));
}

TEST(ConsoleResponse, MixedListOrScalarGivesEmptyObject) {
  for (const char* body : {R"([{"id":"a"},3])", "[[]]", "42", R"("devices")", "null"}) {
    const auto result = interpretConsoleResponse(answer(200, body));
    ASSERT_TRUE(result.ok()) << body;
    EXPECT_EQ(*result, Json::object()) << body;
  }
}

TEST(ConsoleResponse, SuccessThatIsNotJsonIsParseError) {
  const auto result = interpretConsoleResponse(answer(200, "<html></html>"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "JSON");
  EXPECT_EQ(result.error().code, 3840);
  EXPECT_FALSE(result.error().description.empty());
}

TEST(ConsoleResponse, RefusalShowsServiceErrorText) {
  const auto result = interpretConsoleResponse(answer(401, R"({"error":"Technician rights required"})"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), makeError("Kestrelix", 401, "Technician rights required"));
}

TEST(ConsoleResponse, RefusalWithoutErrorTextShowsUnableToConnect) {
  struct Case {
    int status;
    const char* body;
  };
  for (const Case& c : {Case{502, "<html><body>Bad gateway</body></html>"}, Case{500, R"({"error":null})"},
                        Case{302, ""}, Case{0, ""}, Case{201, R"({"id":"x"})"}}) {
    const auto result = interpretConsoleResponse(answer(c.status, c.body));
    ASSERT_FALSE(result.ok()) << c.status;
    EXPECT_EQ(result.error(), makeError("Kestrelix", c.status, "Unable to connect to the support service"));
  }
}

TEST(ConsoleResponse, TransportErrorPassesThroughUnchanged) {
  const auto result = interpretConsoleResponse(kTimedOut);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), kTimedOut);
}

}  // namespace
}  // namespace kx
