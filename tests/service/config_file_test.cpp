// The configuration file's grammar: what it takes, and every way it refuses.
#include <gtest/gtest.h>

#include "service/config_file.h"

namespace kx::service {
namespace {

TEST(ConfigFile, ReadsNamesValuesAndSkipsComments) {
  auto values = parseConfig(
      "# the service\n"
      "listen = 0.0.0.0:8443\r\n"
      "\n"
      "  data=/var/lib/kx-service  \n"
      "cert = /etc/ssl/a b.pem\n"
      "url = https://support.example.com:8443/x=y");
  ASSERT_TRUE(values) << values.error().description;
  EXPECT_EQ(*values, (ConfigValues{{"listen", "0.0.0.0:8443"},
                                   {"data", "/var/lib/kx-service"},
                                   {"cert", "/etc/ssl/a b.pem"},
                                   {"url", "https://support.example.com:8443/x=y"}}));
}

TEST(ConfigFile, RefusesMistakesWithTheirLine) {
  const struct {
    std::string text;
    std::string description;
  } cases[] = {
      {"listen 0.0.0.0:8443", "line 1: expected name = value"},
      {"# ok\nlisten = a:1\nlisten = b:2", "line 3: listen is set twice"},
      {"lisen = a:1", "line 1: unknown name \"lisen\""},
      {"config = /etc/other", "line 1: unknown name \"config\""},
      {"data =", "line 1: data has no value"},
      {"#" + std::string(64 * 1024, 'x'), "the file is larger than 64 KiB"},
  };
  for (const auto& c : cases) {
    auto values = parseConfig(c.text);
    ASSERT_FALSE(values) << c.description;
    EXPECT_EQ(values.error().description, c.description);
  }
}

}  // namespace
}  // namespace kx::service
