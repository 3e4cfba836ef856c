#include <gtest/gtest.h>

#include "protocol/enrollment_configuration.h"
#include "protocol/json.h"

namespace kx {
namespace {

constexpr char kHost[] = "support.example.test";

EnrollmentConfiguration recordWithUrl(std::string url) {
  EnrollmentConfiguration record;
  record.url = std::move(url);
  return record;
}

void expectDecodeError(std::string_view text) {
  auto record = EnrollmentConfiguration::decode(text);
  ASSERT_FALSE(record.ok()) << text;
  EXPECT_EQ(record.error().domain, "Enrollment") << text;
  EXPECT_EQ(record.error().code, 2) << text;
  EXPECT_FALSE(record.error().description.empty()) << text;
}

TEST(EnrollmentDecode, ReadsAllFields) {
  auto record = EnrollmentConfiguration::decode(
      R"({"url":"https://support.example.test","token":"T","sitesAccess":"S","installation":"I",)"
      R"("device":"D","key":"K","capturePrivateKey":"P"})");
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(*record, (EnrollmentConfiguration{"https://support.example.test", "T", "S", "I", "D", "K", "P"}));
}

TEST(EnrollmentDecode, RequiredKeysMustBeStrings) {
  expectDecodeError(R"({"token":"","sitesAccess":""})");
  expectDecodeError(R"({"url":"u","sitesAccess":""})");
  expectDecodeError(R"({"url":"u","token":""})");
  expectDecodeError(R"({"url":null,"token":"","sitesAccess":""})");
  expectDecodeError(R"({"url":"u","token":5,"sitesAccess":""})");
  expectDecodeError(R"({"url":"u","token":"","sitesAccess":[]})");
}

TEST(EnrollmentDecode, OptionalKeysAreStringNullOrAbsent) {
  auto record = EnrollmentConfiguration::decode(
      R"({"url":"u","token":"t","sitesAccess":"","installation":null,"device":"d"})");
  ASSERT_TRUE(record.ok());
  EXPECT_FALSE(record->installation.has_value());
  EXPECT_EQ(record->device, "d");
  EXPECT_FALSE(record->key.has_value());
  EXPECT_FALSE(record->capturePrivateKey.has_value());
  for (const char* bad : {R"("installation":1)", R"("device":true)", R"("key":{})", R"("capturePrivateKey":["x"])"}) {
    expectDecodeError(std::string(R"({"url":"u","token":"t","sitesAccess":"",)") + bad + "}");
  }
}

TEST(EnrollmentDecode, IgnoresOtherKeys) {
  auto record = EnrollmentConfiguration::decode(R"({"url":"u","token":"t","sitesAccess":"s","extra":[1,{}],"Device":5})");
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(*record, (EnrollmentConfiguration{"u", "t", "s", {}, {}, {}, {}}));
}

TEST(EnrollmentDecode, RefusesNonObjects) {
  for (const char* text : {"", "[]", "\"x\"", "null", "{", R"({"url":"u","token":"t","sitesAccess":"s"} x)",
                           "{\"url\":\"\xff\",\"token\":\"\",\"sitesAccess\":\"\"}"}) {
    expectDecodeError(text);
  }
}

TEST(EnrollmentEncode, WritesOptionalKeysOnlyWithValue) {
  const EnrollmentConfiguration bare{"https://h", "code", "", {}, {}, {}, {}};
  const auto json = parseJsonObject(bare.encode());
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(json->size(), 3u);
  EXPECT_EQ(*json, Json::parse(R"({"url":"https://h","token":"code","sitesAccess":""})"));
  EXPECT_EQ(bare.encode().find('\n'), std::string::npos);

  const EnrollmentConfiguration full{"https://h", "", "s", "I", "D", "K", "P"};
  EXPECT_EQ(*EnrollmentConfiguration::decode(full.encode()), full);
  EXPECT_EQ(parseJsonObject(full.encode())->size(), 7u);
}

TEST(EnrollmentEncode, EscapesTextFaithfully) {
  const EnrollmentConfiguration record{"https://h", "quote\" back\\ nl\n é", "\u2019", {}, {}, {}, {}};
  EXPECT_EQ(*EnrollmentConfiguration::decode(record.encode()), record);
}

TEST(EnrollmentAddress, AcceptsServiceHostWithOptionalSlashAndPort) {
  for (const char* url : {"https://support.example.test", "https://support.example.test/",
                          "https://Support.Example.Test", "https://support.example.test:8443/"}) {
    auto validated = recordWithUrl(url).validatedURL(kHost);
    ASSERT_TRUE(validated.ok()) << url;
    EXPECT_EQ(validated->host, kHost);
    EXPECT_EQ(validated->text, url);
  }
}

TEST(EnrollmentAddress, RefusesEverythingElse) {
  for (const char* url : {
           "http://support.example.test", "HTTPS://support.example.test", "https://other.example.test",
           "https://support.example.test.evil", "https://evil.support.example.test", "https://support.example.test/api",
           "https://support.example.test//", "https://support.example.test?", "https://support.example.test/?a=b",
           "https://support.example.test#", "https://support.example.test/#x", "https://user@support.example.test",
           "https://user:pw@support.example.test/", "https://:pw@support.example.test", "support.example.test",
           "", "https://support.example.test /",
       }) {
    auto validated = recordWithUrl(url).validatedURL(kHost);
    ASSERT_FALSE(validated.ok()) << url;
    EXPECT_EQ(validated.error(), makeError("Enrollment", 1, "Invalid support service address.")) << url;
  }
}

}  // namespace
}  // namespace kx
