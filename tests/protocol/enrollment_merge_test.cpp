#include <gtest/gtest.h>

#include <sys/stat.h>

#include "protocol/encoding.h"
#include "protocol/enrollment_merge.h"
#include "protocol/json.h"
#include "runtime/atomic_file.h"
#include "support/scratch.h"

namespace kx {
namespace {

const EnrollmentConstants kConstants{"https://support.example.test", "support.example.test", "legacy.example"};
constexpr char kService[] = "https://support.example.test";

std::string fileJson(const std::string& url, const std::string& extra = "") {
  return R"({"url":")" + url + R"(","token":"T1","sitesAccess":"S1")" + extra + "}";
}

EnrollmentConfiguration storedRecord(const std::string& url) {
  EnrollmentConfiguration stored;
  stored.url = url;
  stored.token = "";
  stored.sitesAccess = "old";
  stored.installation = "11111111-2222-4333-8444-555555555555";
  stored.device = "stored-device";
  stored.key = "stored-key";
  stored.capturePrivateKey = base64Encode(P256PrivateKey::generate().raw());
  return stored;
}

const std::string kOtherKey = base64Encode(P256PrivateKey::generate().raw());

TEST(EnrollmentMerge, FirstEnrollmentGetsInstallationAndFreshKey) {
  auto merged = mergeEnrollment(std::nullopt, fileJson(kService), kConstants);
  ASSERT_TRUE(merged.ok()) << merged.error().summary();
  const EnrollmentConfiguration& r = merged->record;
  EXPECT_EQ(r.url, kService);
  EXPECT_EQ(r.token, "T1");
  EXPECT_EQ(r.sitesAccess, "S1");
  ASSERT_TRUE(r.installation.has_value());
  EXPECT_TRUE(isCanonicalUuid(*r.installation));
  EXPECT_FALSE(r.device.has_value());
  EXPECT_FALSE(r.key.has_value());
  ASSERT_TRUE(r.capturePrivateKey.has_value());
  EXPECT_EQ(base64Decode(*r.capturePrivateKey), merged->privateKey.raw());
  EXPECT_EQ(merged->url.host, "support.example.test");

  auto again = mergeEnrollment(std::nullopt, fileJson(kService), kConstants);
  EXPECT_NE(again->record.installation, r.installation);
  EXPECT_NE(again->record.capturePrivateKey, r.capturePrivateKey);
}

TEST(EnrollmentMerge, FileValuesUsedWithoutStoredRecord) {
  auto merged = mergeEnrollment(
      std::nullopt,
      fileJson(kService, R"(,"installation":"file-inst","device":"fd","key":"fk","capturePrivateKey":")" + kOtherKey + "\""),
      kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->record.installation, "file-inst");
  EXPECT_EQ(merged->record.device, "fd");
  EXPECT_EQ(merged->record.key, "fk");
  EXPECT_EQ(merged->record.capturePrivateKey, kOtherKey);
}

TEST(EnrollmentMerge, SameServiceKeepsStoredIdentity) {
  const auto stored = storedRecord(kService);
  auto merged = mergeEnrollment(
      stored,
      fileJson(kService, R"(,"installation":"file-inst","device":"fd","key":"fk","capturePrivateKey":")" + kOtherKey + "\""),
      kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->record.installation, stored.installation);
  EXPECT_EQ(merged->record.device, "stored-device");
  EXPECT_EQ(merged->record.key, "stored-key");
  EXPECT_EQ(merged->record.capturePrivateKey, stored.capturePrivateKey);
  EXPECT_EQ(base64Encode(merged->privateKey.raw()), *stored.capturePrivateKey);
  EXPECT_EQ(merged->record.token, "T1");
  EXPECT_EQ(merged->record.sitesAccess, "S1");
}

TEST(EnrollmentMerge, SameServiceCopiesAbsentDeviceToo) {
  auto stored = storedRecord(kService);
  stored.device.reset();
  stored.key.reset();
  auto merged = mergeEnrollment(stored, fileJson(kService, R"(,"device":"fd","key":"fk")"), kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_FALSE(merged->record.device.has_value());
  EXPECT_FALSE(merged->record.key.has_value());
}

TEST(EnrollmentMerge, OtherAddressTakesFileDeviceButKeepsInstallationAndKey) {
  // Exact text comparison: a trailing "/" is another address.
  const auto stored = storedRecord(std::string(kService) + "/");
  auto withDevice = mergeEnrollment(stored, fileJson(kService, R"(,"device":"fd","key":"fk")"), kConstants);
  ASSERT_TRUE(withDevice.ok());
  EXPECT_EQ(withDevice->record.device, "fd");
  EXPECT_EQ(withDevice->record.key, "fk");
  EXPECT_EQ(withDevice->record.installation, stored.installation);
  EXPECT_EQ(withDevice->record.capturePrivateKey, stored.capturePrivateKey);

  auto without = mergeEnrollment(stored, fileJson(kService), kConstants);
  ASSERT_TRUE(without.ok());
  EXPECT_FALSE(without->record.device.has_value());
  EXPECT_FALSE(without->record.key.has_value());
}

TEST(EnrollmentMerge, RetiredHostMovesToServiceAddress) {
  auto merged = mergeEnrollment(
      std::nullopt,
      fileJson("https://eu.Legacy.Example/path?x=1",
               R"(,"installation":"file-inst","device":"fd","key":"fk","capturePrivateKey":")" + kOtherKey + "\""),
      kConstants);
  ASSERT_TRUE(merged.ok()) << merged.error().summary();
  EXPECT_EQ(merged->record,
            (EnrollmentConfiguration{kService, "", "", "file-inst", std::nullopt, std::nullopt, kOtherKey}));
}

TEST(EnrollmentMerge, RetiredHostKeepsStoredDeviceWhenStoredNamesService) {
  const auto stored = storedRecord(kService);
  auto merged = mergeEnrollment(stored, fileJson("https://legacy.example", R"(,"device":"fd")"), kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->record.url, kService);
  EXPECT_EQ(merged->record.device, "stored-device");
  EXPECT_EQ(merged->record.key, "stored-key");
  EXPECT_EQ(merged->record.token, "");
}

TEST(EnrollmentMerge, InvalidAddressIsRefused) {
  for (const char* url : {"http://support.example.test", "https://support.example.test/x", "https://other.test",
                          "https://legacy.example.other"}) {
    auto merged = mergeEnrollment(storedRecord(kService), fileJson(url), kConstants);
    ASSERT_FALSE(merged.ok()) << url;
    EXPECT_EQ(merged.error(), invalidServiceAddressError()) << url;
  }
}

TEST(EnrollmentMerge, UndecodableFileIsDecoderError) {
  auto merged = mergeEnrollment(std::nullopt, R"({"url":"https://support.example.test"})", kConstants);
  ASSERT_FALSE(merged.ok());
  EXPECT_EQ(merged.error().domain, "Enrollment");
  EXPECT_EQ(merged.error().code, 2);
}

TEST(EnrollmentMerge, BadPrivateKeyText) {
  auto notBase64 = mergeEnrollment(std::nullopt, fileJson(kService, R"(,"capturePrivateKey":"abc")"), kConstants);
  ASSERT_FALSE(notBase64.ok());
  EXPECT_EQ(notBase64.error().domain, "Invalid private key");
  EXPECT_EQ(notBase64.error().code, 1);

  const std::string shortKey = base64Encode(randomBytes(16));
  auto malformed = mergeEnrollment(std::nullopt, fileJson(kService, R"(,"capturePrivateKey":")" + shortKey + "\""),
                                   kConstants);
  ASSERT_FALSE(malformed.ok());
  EXPECT_EQ(malformed.error().domain, "CryptoKit");
}

TEST(EnrollmentMerge, StoredKeyWinsOverBrokenFileKey) {
  const auto stored = storedRecord(kService);
  auto merged = mergeEnrollment(stored, fileJson(kService, R"(,"capturePrivateKey":"%%%")"), kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->record.capturePrivateKey, stored.capturePrivateKey);
}

TEST(SetupCode, NormalizesCaseSpacesAndHyphens) {
  EXPECT_EQ(normalizeSetupCode("abcd-ef01-2345 6789 0abc"), "ABCDEF01234567890ABC");
  EXPECT_EQ(normalizeSetupCode("  ABCDE-F0123-45678-90ABC\n"), "ABCDEF01234567890ABC");
  EXPECT_EQ(normalizeSetupCode("abcd\u00a0ef01\u2009 2345\t6789-0abc"), "ABCDEF01234567890ABC");
}

TEST(SetupCode, RefusesWrongLengthOrDigits) {
  for (const char* typed : {"ABCDEF0123456789ABC", "ABCDEF0123456789ABCDE", "ABCDEF0123456789ABCG", "",
                            "ABCDEF0123456789AB_C", "ABCDEF0123456789ABC\u00c9", "ABCDEF01234567890ABC\u2013",
                            "ABCDEF0123456789ABC\u0661"}) {
    EXPECT_FALSE(normalizeSetupCode(typed).has_value()) << typed;
  }
}

TEST(SetupCode, RecordEnrollsWithServiceAndKeepsStoredIdentity) {
  const EnrollmentConfiguration record = setupCodeRecord("ABCDEF01234567890ABC", kConstants);
  EXPECT_EQ(record, (EnrollmentConfiguration{kService, "ABCDEF01234567890ABC", "", {}, {}, {}, {}}));
  const auto stored = storedRecord("https://support.example.test/");
  auto merged = mergeEnrollment(stored, record.encode(), kConstants);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->record.token, "ABCDEF01234567890ABC");
  EXPECT_EQ(merged->record.installation, stored.installation);
  EXPECT_EQ(merged->record.capturePrivateKey, stored.capturePrivateKey);
}

class EnrollmentFile : public ::testing::Test {
 protected:
  testing::TempDir dir_{"kx-enrollment"};
  std::string path_ = dir_ / "enrollment.json";
};

TEST_F(EnrollmentFile, SavedBeforeRegistrationIsPrivateAndHasNoDevice) {
  auto merged = mergeEnrollment(std::nullopt, setupCodeRecord("ABCDEF01234567890ABC", kConstants).encode(), kConstants);
  ASSERT_TRUE(merged.ok());
  ASSERT_TRUE(saveEnrollment(path_, merged->record).ok());
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto text = readFile(path_);
  ASSERT_TRUE(text.ok());
  const auto json = parseJsonObject(*text);
  ASSERT_TRUE(json.has_value());
  EXPECT_FALSE(json->contains("device"));
  EXPECT_FALSE(json->contains("key"));
  EXPECT_EQ(*EnrollmentConfiguration::decode(*text), merged->record);
}

TEST_F(EnrollmentFile, SaveReplacesAndMakesOlderFilePrivate) {
  ASSERT_TRUE(writeFileAtomically(path_, "old", 0644).ok());
  const EnrollmentConfiguration record{kService, "", "", "I", "D", "K", kOtherKey};
  ASSERT_TRUE(saveEnrollment(path_, record).ok());
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(*EnrollmentConfiguration::decode(*readFile(path_)), record);
}

TEST_F(EnrollmentFile, UnwritableFolderIsFileError) {
  auto status = saveEnrollment(dir_ / "missing/enrollment.json", setupCodeRecord("X", kConstants));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().domain, "File");
}

}  // namespace
}  // namespace kx
