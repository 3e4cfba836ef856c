#include <gtest/gtest.h>

#include "service/console_assets.h"

namespace kx::service {
namespace {

std::string header(const Response& r, std::string_view name) {
  for (const auto& [key, value] : r.headers) {
    if (key == name) return value;
  }
  return {};
}

ConsoleAssets assets(std::string script = "export {};") {
  return ConsoleAssets::fromFiles({{"index.html", "<script type=module src=\"/console/%VERSION%/page.js\"></script>"},
                                   {"page.js", std::move(script)},
                                   {"console.css", "body{}"}})
      .value();
}

TEST(ConsoleAssets, PageNamesItsAssetsByVersionAndOnlyThatVersionIsServed) {
  const ConsoleAssets console = assets();
  const std::string v = console.version();
  ASSERT_EQ(v.size(), 16u);
  EXPECT_NE(assets("export const changed = 1;").version(), v);

  struct Case {
    std::string target;
    int status;
    std::string type;   // prefix
    std::string cache;
  };
  const Case cases[] = {
      {"/console/", 200, "text/html", "no-cache"},
      {"/console", 200, "text/html", "no-cache"},
      {"/console/?code=abc&state=def", 200, "text/html", "no-cache"},
      {"/console/" + v + "/page.js", 200, "text/javascript", "public, max-age=31536000, immutable"},
      {"/console/" + v + "/console.css", 200, "text/css", "public, max-age=31536000, immutable"},
      {"/console/0123456789abcdef/page.js", 404, "text/plain", "no-store"},
      {"/console/" + v + "/missing.js", 404, "text/plain", "no-store"},
      {"/console/" + v + "/../index.html", 404, "text/plain", "no-store"},
      {"/console/page.js", 404, "text/plain", "no-store"},
  };
  for (const Case& c : cases) {
    auto r = console.serve(Request{"GET", c.target, "", "", "", "::1"});
    ASSERT_TRUE(r.has_value()) << c.target;
    EXPECT_EQ(r->status, c.status) << c.target;
    EXPECT_TRUE(r->contentType.starts_with(c.type)) << c.target << " " << r->contentType;
    EXPECT_EQ(header(*r, "Cache-Control"), c.cache) << c.target;
    EXPECT_EQ(header(*r, "Content-Security-Policy"), kConsoleSecurityPolicy) << c.target;
  }
  auto page = console.serve(Request{"GET", "/console/", "", "", "", "::1"});
  EXPECT_NE(page->body.find("/console/" + v + "/page.js"), std::string::npos) << page->body;
}

TEST(ConsoleAssets, OtherPathsAndMethodsAreNotServed) {
  const ConsoleAssets console = assets();
  for (const char* target : {"/api/admin/whoami", "/consoles", "/native-sign-in", "/"}) {
    EXPECT_FALSE(console.serve(Request{"GET", target, "", "", "", "::1"}).has_value()) << target;
  }
  auto post = console.serve(Request{"POST", "/console/", "", "", "", "::1"});
  ASSERT_TRUE(post.has_value());
  EXPECT_EQ(post->status, 405);
}

TEST(ConsoleAssets, FileSetsWithoutAPageOrWithOddNamesAreRefused) {
  EXPECT_FALSE(ConsoleAssets::fromFiles({{"page.js", ""}}).ok());
  EXPECT_FALSE(ConsoleAssets::fromFiles({{"index.html", ""}, {"../x.js", ""}}).ok());
  EXPECT_FALSE(ConsoleAssets::fromFiles({{"index.html", ""}, {"tool.sh", ""}}).ok());
}

}  // namespace
}  // namespace kx::service
