// The background queue of the app and the settings-folder helper.
#include "agent/worker_thread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "runtime/atomic_file.h"
#include "runtime/basic_loop.h"

namespace kx {
namespace {

TEST(WorkerThread, WorkRunsElsewhereAndCompletesOnTheLoop) {
  VirtualLoop loop;
  WorkerThread worker(loop);
  std::thread::id workedOn;
  std::thread::id doneOn;
  bool done = false;
  worker.run([&] { workedOn = std::this_thread::get_id(); },
             [&] {
               doneOn = std::this_thread::get_id();
               done = true;
             });
  ASSERT_TRUE(loop.runUntil([&] { return done; }, 5));
  EXPECT_NE(workedOn, std::this_thread::get_id());
  EXPECT_EQ(doneOn, std::this_thread::get_id());
}

TEST(WorkerThread, CompletionsAfterDestructionAreDropped) {
  VirtualLoop loop;
  std::atomic<bool> worked{false};
  bool done = false;
  {
    WorkerThread worker(loop);
    worker.run([&] { worked = true; }, [&] { done = true; });
    while (!worked) std::this_thread::yield();
  }
  loop.runUntilIdle();
  EXPECT_FALSE(done);
}

TEST(SettingsFolder, CreatedPrivateWithItsParents) {
  const std::string root = std::filesystem::temp_directory_path() / ("kx-folder-" + std::to_string(::getpid()));
  const std::string folder = root + "/a/b/Kestrelix Remote Test";
  ASSERT_TRUE(createPrivateFolder(folder));
  ASSERT_TRUE(createPrivateFolder(folder));  // existing is fine
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // A file in the way is an error.
  ASSERT_TRUE(writeFileAtomically(root + "/file", "x"));
  EXPECT_FALSE(createPrivateFolder(root + "/file/sub"));
  std::filesystem::remove_all(root);
}

TEST(SettingsFolder, FollowsXdgDataHome) {
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string previous = saved ? saved : "";
  setenv("XDG_DATA_HOME", "/srv/data", 1);
  EXPECT_EQ(defaultSettingsFolder(), "/srv/data/Kestrelix Remote Test");
  setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored, as XDG says
  EXPECT_TRUE(defaultSettingsFolder().ends_with("/.local/share/Kestrelix Remote Test"));
  if (saved) {
    setenv("XDG_DATA_HOME", previous.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
}  // namespace kx
