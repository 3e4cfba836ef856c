// HTTP/1.1 request framing and its limits.
#include <gtest/gtest.h>

#include "service/http_server.h"
#include "service/request_reader.h"

namespace kx::service {
namespace {

RequestReader::Limits small() {
  RequestReader::Limits limits;
  limits.maxHeadBytes = 256;
  limits.maxBodyBytes = 64;
  limits.maxHeaders = 4;
  return limits;
}

TEST(RequestReader, ReadsHeadAndBody) {
  RequestReader reader({});
  reader.append("POST /api/enroll HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer k\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_EQ(reader.next(), RequestReader::Result::ready);
  ParsedRequest r = reader.take();
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/api/enroll");
  EXPECT_EQ(r.header("authorization"), "Bearer k");
  EXPECT_EQ(r.body, "{}");
  EXPECT_TRUE(r.keepAlive);
  EXPECT_EQ(reader.buffered(), 0u);
}

TEST(RequestReader, ByteByByteArrivalGivesTheSameRequest) {
  const std::string wire = "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
  RequestReader reader({});
  for (size_t i = 0; i + 1 < wire.size(); ++i) {
    reader.append(wire.substr(i, 1));
    ASSERT_EQ(reader.next(), RequestReader::Result::needMore) << i;
  }
  reader.append(wire.substr(wire.size() - 1));
  ASSERT_EQ(reader.next(), RequestReader::Result::ready);
  EXPECT_EQ(reader.take().body, "hello");
}

TEST(RequestReader, PipelinedRequestsComeOutInOrder) {
  RequestReader reader({});
  reader.append("GET /one HTTP/1.1\r\n\r\nPOST /two HTTP/1.1\r\nContent-Length: 1\r\n\r\nxGET /thr");
  ASSERT_EQ(reader.next(), RequestReader::Result::ready);
  EXPECT_EQ(reader.take().target, "/one");
  ASSERT_EQ(reader.next(), RequestReader::Result::ready);
  EXPECT_EQ(reader.take().body, "x");
  EXPECT_EQ(reader.next(), RequestReader::Result::needMore);
  reader.append("ee HTTP/1.1\r\n\r\n");
  ASSERT_EQ(reader.next(), RequestReader::Result::ready);
  EXPECT_EQ(reader.take().target, "/three");
}

TEST(RequestReader, OversizedBodyIsRefusedBeforeItArrives) {
  RequestReader reader(small());
  reader.append("POST / HTTP/1.1\r\nContent-Length: 65\r\n\r\n");
  EXPECT_EQ(reader.next(), RequestReader::Result::failed);
  EXPECT_EQ(reader.errorStatus(), 413);
  RequestReader exact(small());
  exact.append("POST / HTTP/1.1\r\nContent-Length: 64\r\n\r\n" + std::string(64, 'x'));
  EXPECT_EQ(exact.next(), RequestReader::Result::ready);
}

TEST(RequestReader, OversizedHeadIsRefusedEvenWithoutItsEnd) {
  RequestReader reader(small());
  reader.append("GET /" + std::string(300, 'a'));
  EXPECT_EQ(reader.next(), RequestReader::Result::failed);
  EXPECT_EQ(reader.errorStatus(), 431);
  RequestReader many(small());
  many.append("GET / HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\ne: 5\r\n\r\n");
  EXPECT_EQ(many.next(), RequestReader::Result::failed);
  EXPECT_EQ(many.errorStatus(), 431);
}

TEST(RequestReader, MalformedHeadsAreRefused) {
  const std::pair<std::string, int> cases[] = {
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET  / HTTP/1.1\r\n\r\n", 400},
      {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
      {"G(T / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nbad header\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nA\n: 1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
  };
  for (const auto& [wire, status] : cases) {
    RequestReader reader({});
    reader.append(wire);
    EXPECT_EQ(reader.next(), RequestReader::Result::failed) << wire;
    EXPECT_EQ(reader.errorStatus(), status) << wire;
    EXPECT_FALSE(reader.errorMessage().empty());
  }
}

TEST(RequestReader, KeepAliveFollowsVersionAndConnectionHeader) {
  auto keepAlive = [](const std::string& wire) {
    RequestReader reader({});
    reader.append(wire);
    EXPECT_EQ(reader.next(), RequestReader::Result::ready) << wire;
    return reader.take().keepAlive;
  };
  EXPECT_TRUE(keepAlive("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(keepAlive("GET / HTTP/1.1\r\nConnection: Close\r\n\r\n"));
  EXPECT_FALSE(keepAlive("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(keepAlive("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
}

TEST(RequestReader, ExpectContinueIsSignalledOnceWhileTheBodyIsMissing) {
  RequestReader reader({});
  reader.append("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
  EXPECT_EQ(reader.next(), RequestReader::Result::needMore);
  EXPECT_TRUE(reader.takeContinueRequest());
  EXPECT_FALSE(reader.takeContinueRequest());
  reader.append("{}");
  EXPECT_EQ(reader.next(), RequestReader::Result::ready);
}

TEST(ResponseWriter, FramesStatusLengthAndConnection) {
  Response r;
  r.status = 429;
  r.body = "{\"error\":\"x\"}";
  r.headers = {{"Retry-After", "5"}};
  const std::string wire = serializeResponse(r, false);
  EXPECT_EQ(wire.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u);
  EXPECT_NE(wire.find("\r\nContent-Length: 13\r\n"), std::string::npos);
  EXPECT_NE(wire.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(wire.find("\r\nRetry-After: 5\r\n"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 17), "\r\n\r\n{\"error\":\"x\"}");
}

}  // namespace
}  // namespace kx::service
