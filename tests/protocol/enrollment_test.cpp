// The enrollment record: its file format, the service address it may name,
// how a new file merges with what is stored, and setup codes. Saving it is
// tested through the agent's import.
#include <gtest/gtest.h>

#include "protocol/encoding.h"
#include "protocol/enrollment_merge.h"
#include "protocol/json.h"

namespace kx {
namespace {

using Record = EnrollmentConfiguration;
const EnrollmentConstants kConstants{"https://support.example.test", "support.example.test", "legacy.example"};
constexpr char kService[] = "https://support.example.test";
const std::string kStoredKey = base64Encode(P256PrivateKey::generate().raw());
const std::string kFileKey = base64Encode(P256PrivateKey::generate().raw());
const std::string kFileIdentity = R"(,"installation":"file-inst","device":"fd","key":"fk","capturePrivateKey":")" + kFileKey + "\"";
const Record kStored{kService, "", "old", "stored-inst", "stored-device", "stored-key", kStoredKey};

std::string fileJson(const std::string& url, const std::string& extra = "") {
  return R"({"url":")" + url + R"(","token":"T1","sitesAccess":"S1")" + extra + "}";
}

TEST(EnrollmentRecord, DecodesStringFieldsAndWritesOptionalOnesOnlyWithValue) {
  EXPECT_EQ(*Record::decode(fileJson("u", kFileIdentity + R"(,"extra":[1,{}],"Device":5)")),
            (Record{"u", "T1", "S1", "file-inst", "fd", "fk", kFileKey}));
  EXPECT_EQ(*Record::decode(R"({"url":"u","token":"t","sitesAccess":"","installation":null})"),
            (Record{"u", "t", "", {}, {}, {}, {}}));
  for (const char* bad : {R"({"token":"","sitesAccess":""})", R"({"url":"u","sitesAccess":""})", R"({"url":"u","token":""})",
                          R"({"url":null,"token":"","sitesAccess":""})", R"({"url":"u","token":5,"sitesAccess":""})",
                          R"({"url":"u","token":"","sitesAccess":[]})", R"({"url":"u","token":"","sitesAccess":"","device":true})",
                          R"({"url":"u","token":"","sitesAccess":"","key":{}})", "", "[]", "null", "{",
                          R"({"url":"u","token":"t","sitesAccess":"s"} x)", "{\"url\":\"\xff\",\"token\":\"\",\"sitesAccess\":\"\"}"}) {
    auto record = Record::decode(bad);
    ASSERT_FALSE(record.ok()) << bad;
    EXPECT_EQ(record.error().domain + std::to_string(record.error().code), "Enrollment2") << bad;
  }
  const Record bare{"https://h", "quote\" back\\ nl\n é", "\u2019", {}, {}, {}, {}};
  EXPECT_EQ(parseJsonObject(bare.encode())->size(), 3u);
  for (const Record& record : {bare, kStored}) EXPECT_EQ(*Record::decode(record.encode()), record);
}

TEST(EnrollmentRecord, NamesOnlyTheServiceHostOverHttps) {
  for (const char* url : {"https://support.example.test", "https://support.example.test/", "https://Support.Example.Test",
                          "https://support.example.test:8443/"}) {
    auto validated = Record{url, "", "", {}, {}, {}, {}}.validatedURL(kConstants.serviceHost);
    ASSERT_TRUE(validated.ok()) << url;
    EXPECT_EQ(validated->host, kConstants.serviceHost);
  }
  for (const char* url : {"http://support.example.test", "HTTPS://support.example.test", "https://other.example.test",
                          "https://support.example.test.evil", "https://evil.support.example.test",
                          "https://support.example.test/api", "https://support.example.test//",
                          "https://support.example.test?", "https://support.example.test/?a=b",
                          "https://support.example.test#", "https://user@support.example.test",
                          "https://:pw@support.example.test", "support.example.test", ""}) {
    auto validated = Record{url, "", "", {}, {}, {}, {}}.validatedURL(kConstants.serviceHost);
    ASSERT_FALSE(validated.ok()) << url;
    EXPECT_EQ(validated.error(), makeError("Enrollment", 1, "Invalid support service address.")) << url;
  }
}

TEST(EnrollmentMerge, StoredIdentityWinsForTheSameServiceAndTheFileNamesTheDeviceElsewhere) {
  Record noDevice = kStored;
  noDevice.device.reset();
  noDevice.key.reset();
  Record slash = kStored;
  slash.url += "/";  // exact text comparison: another address
  const struct {
    const char* why;
    std::optional<Record> stored;
    std::string file;
    Record expected;
  } cases[] = {
      {"no stored record", {}, fileJson(kService, kFileIdentity), {kService, "T1", "S1", "file-inst", "fd", "fk", kFileKey}},
      {"same service", kStored, fileJson(kService, kFileIdentity),
       {kService, "T1", "S1", "stored-inst", "stored-device", "stored-key", kStoredKey}},
      {"same service, stored has no device", noDevice, fileJson(kService, R"(,"device":"fd","key":"fk")"),
       {kService, "T1", "S1", "stored-inst", {}, {}, kStoredKey}},
      {"other address", slash, fileJson(kService, R"(,"device":"fd","key":"fk")"),
       {kService, "T1", "S1", "stored-inst", "fd", "fk", kStoredKey}},
      {"other address, file without device", slash, fileJson(kService), {kService, "T1", "S1", "stored-inst", {}, {}, kStoredKey}},
      {"retired host", {}, fileJson("https://eu.Legacy.Example/path?x=1", kFileIdentity),
       {kService, "", "", "file-inst", {}, {}, kFileKey}},
      {"retired host, stored names the service", kStored, fileJson("https://legacy.example", R"(,"device":"fd")"),
       {kService, "", "", "stored-inst", "stored-device", "stored-key", kStoredKey}},
      {"broken file key", kStored, fileJson(kService, R"(,"capturePrivateKey":"%%%")"),
       {kService, "T1", "S1", "stored-inst", "stored-device", "stored-key", kStoredKey}},
  };
  for (const auto& c : cases) {
    auto merged = mergeEnrollment(c.stored, c.file, kConstants);
    ASSERT_TRUE(merged.ok()) << c.why << ": " << merged.error().summary();
    EXPECT_EQ(merged->record, c.expected) << c.why;
    EXPECT_EQ(base64Encode(merged->privateKey.raw()), *c.expected.capturePrivateKey) << c.why;
  }
  auto first = mergeEnrollment(std::nullopt, fileJson(kService), kConstants);
  auto again = mergeEnrollment(std::nullopt, fileJson(kService), kConstants);
  ASSERT_TRUE(first.ok() && again.ok());
  EXPECT_TRUE(isCanonicalUuid(*first->record.installation));
  EXPECT_EQ(base64Decode(*first->record.capturePrivateKey), first->privateKey.raw());
  EXPECT_NE(first->record.installation, again->record.installation);
  EXPECT_NE(first->record.capturePrivateKey, again->record.capturePrivateKey);
}

TEST(SetupCode, TwentyHexDigitsWhateverTheSpacingEnrolWithTheService) {
  for (const char* typed : {"abcd-ef01-2345 6789 0abc", "  ABCDE-F0123-45678-90ABC\n", "abcd\u00a0ef01\u2009 2345\t6789-0abc"}) {
    EXPECT_EQ(normalizeSetupCode(typed), "ABCDEF01234567890ABC") << typed;
  }
  for (const char* typed : {"ABCDEF0123456789ABC", "ABCDEF0123456789ABCDE", "ABCDEF0123456789ABCG", "",
                            "ABCDEF0123456789AB_C", "ABCDEF0123456789ABC\u00c9", "ABCDEF01234567890ABC\u2013",
                            "ABCDEF0123456789ABC\u0661"}) {
    EXPECT_FALSE(normalizeSetupCode(typed)) << typed;
  }
  const Record record = setupCodeRecord("ABCDEF01234567890ABC", kConstants);
  EXPECT_EQ(record, (Record{kService, "ABCDEF01234567890ABC", "", {}, {}, {}, {}}));
}

}  // namespace
}  // namespace kx
