// Credentials: setup codes, PKCE, password hashes.
#include <gtest/gtest.h>

#include "service/portal.h"
#include "service/secrets.h"

namespace kx::service {
namespace {

TEST(SetupCode, FreshCodesAreTwentyUpperCaseHexDigitsAndDiffer) {
  const std::string a = newSetupCode();
  ASSERT_EQ(a.size(), 20u);
  EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_NE(a, newSetupCode());
}

TEST(SetupCode, TypedFormsNormalise) {
  EXPECT_EQ(normalizeSetupCode("0123-4567-89ab-cdef-0123"), "0123456789ABCDEF0123");
  EXPECT_EQ(normalizeSetupCode(" 01234 56789\tABCDE F0123 "), "0123456789ABCDEF0123");
  EXPECT_FALSE(normalizeSetupCode("0123456789ABCDEF012"));    // 19
  EXPECT_FALSE(normalizeSetupCode("0123456789ABCDEF01234"));  // 21
  EXPECT_FALSE(normalizeSetupCode("0123456789ABCDEF012G"));
  EXPECT_FALSE(normalizeSetupCode(newSecret()));
}

TEST(Pkce, S256MatchesRfc7636AppendixB) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Pkce, VerifierAlphabetAndLength) {
  EXPECT_TRUE(isValidPkceVerifier(std::string(43, 'a')));
  EXPECT_TRUE(isValidPkceVerifier(std::string(128, '~')));
  EXPECT_TRUE(isValidPkceVerifier("abc.DEF_ghi-JKL~0123456789abcdefghijklmnopq"));
  EXPECT_FALSE(isValidPkceVerifier(std::string(42, 'a')));
  EXPECT_FALSE(isValidPkceVerifier(std::string(129, 'a')));
  EXPECT_FALSE(isValidPkceVerifier(std::string(42, 'a') + "+"));
  EXPECT_TRUE(isValidPkceChallenge(pkceChallenge(newSecret())));
  EXPECT_FALSE(isValidPkceChallenge(std::string(43, '=')));
}

TEST(PasswordHash, VerifiesOnlyTheRightPassword) {
  ScryptParameters cheap;
  cheap.n = 1024;
  const std::string hash = hashPassword("open sesame", cheap).value();
  EXPECT_EQ(hash.rfind("scrypt$1024$8$1$", 0), 0u);
  EXPECT_TRUE(verifyPassword("open sesame", hash));
  EXPECT_FALSE(verifyPassword("open sesame!", hash));
  EXPECT_FALSE(verifyPassword("", hash));
  EXPECT_NE(hash, hashPassword("open sesame", cheap).value());  // fresh salt
}

TEST(PasswordHash, DefaultParametersAreTheRealCost) {
  const std::string hash = hashPassword("pw", ScryptParameters{}).value();
  EXPECT_EQ(hash.rfind("scrypt$32768$8$1$", 0), 0u);
  EXPECT_TRUE(verifyPassword("pw", hash));
}

TEST(PasswordHash, MalformedOrOverpricedHashesNeverVerify) {
  ScryptParameters cheap;
  cheap.n = 16;
  std::string hash = hashPassword("pw", cheap).value();
  EXPECT_FALSE(verifyPassword("pw", ""));
  EXPECT_FALSE(verifyPassword("pw", "scrypt$16$8$1$AAAA"));
  std::string heavy = hash;
  heavy.replace(7, 2, "1073741824");  // N = 2^30 would need 1 TiB
  EXPECT_FALSE(verifyPassword("pw", heavy));
  // The bound that keeps planted parameters from being tried is the one hashing obeys.
  const ScryptParameters planted[] = {{uint64_t{1} << 20, 32, 1}, {uint64_t{1} << 15, 8, 16}};  // 4 GiB; 16× work
  for (const ScryptParameters& p : planted) EXPECT_FALSE(hashPassword("pw", p).ok()) << p.n << " " << p.p;
  std::string odd = hash;
  odd.replace(7, 2, "15");  // not a power of two
  EXPECT_FALSE(verifyPassword("pw", odd));
  std::string flipped = hash;
  flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(verifyPassword("pw", flipped));
}

TEST(ConstantTimeEqual, ComparesWholeValues) {
  EXPECT_TRUE(constantTimeEqual(std::string_view("abc"), std::string_view("abc")));
  EXPECT_FALSE(constantTimeEqual(std::string_view("abc"), std::string_view("abd")));
  EXPECT_FALSE(constantTimeEqual(std::string_view("abc"), std::string_view("abcd")));
}

TEST(FormDecoding, PlusAndPercentEscapes) {
  auto form = parseForm("name=Dana+%C3%98&password=a%2Bb%26c%3Dd&empty=&flag&name=second");
  ASSERT_TRUE(form);
  EXPECT_EQ((*form)["name"], "Dana \xC3\x98");  // the first occurrence wins
  EXPECT_EQ((*form)["password"], "a+b&c=d");
  EXPECT_EQ((*form)["empty"], "");
  EXPECT_TRUE(form->count("flag"));
  EXPECT_FALSE(parseForm("a=%4"));
  EXPECT_FALSE(parseForm("a=%zz"));
  std::string many;
  for (int i = 0; i < 33; ++i) many += "k" + std::to_string(i) + "=v&";
  EXPECT_FALSE(parseForm(many));
}

TEST(HtmlEscape, NeutralisesMarkup) {
  EXPECT_EQ(htmlEscape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

}  // namespace
}  // namespace kx::service
