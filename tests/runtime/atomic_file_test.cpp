#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/atomic_file.h"
#include "support/scratch.h"

namespace kx {
namespace {

int countEntries(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
  }
  closedir(d);
  return n;
}

TEST(AtomicFile, ReplacesContentWithModeAndLeavesNoTemporaries) {
  const testing::TempDir temp;
  const std::string& dir = temp.path();
  const std::string path = temp / "enrollment.json";
  ASSERT_TRUE(writeFileAtomically(path, "first", 0600).ok());
  ASSERT_TRUE(writeFileAtomically(path, "second, longer", 0600).ok());
  auto content = readFile(path);
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(*content, "second, longer");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(countEntries(dir), 1);
}

TEST(AtomicFile, MissingFolderIsAFileErrorWithErrno) {
  auto st = writeFileAtomically("/nonexistent-kx-dir/x.json", "data");
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().domain, "File");
  EXPECT_EQ(st.error().code, ENOENT);
  auto missing = readFile("/nonexistent-kx-dir/x.json");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

}  // namespace
}  // namespace kx
