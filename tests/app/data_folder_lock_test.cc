#include "app/data_folder_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell::app {
namespace {

TEST(DataFolderLock, OneHolderAtATimeAndAPatientOneGetsItWhenItGoes) {
  lumewell::testing::TempDir dir;
  const std::string folder = dir.path() + "/data";
  auto first = DataFolderLock::acquire(folder, std::chrono::milliseconds(0));
  ASSERT_TRUE(first) << first.error().localizedDescription;
  EXPECT_EQ(lumewell::testing::fileMode(folder + "/host.lock"), 0600);

  auto second = DataFolderLock::acquire(folder, std::chrono::milliseconds(0));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().code, EWOULDBLOCK);
  EXPECT_EQ(second.error().localizedDescription,
            "Lumewell Recorder is already running for the data folder " + folder + " (pid " +
                std::to_string(::getpid()) + ")");

  std::unique_ptr<DataFolderLock> held = std::move(first).value();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.reset();
  });
  auto patient = DataFolderLock::acquire(folder, std::chrono::seconds(10));
  releaser.join();
  EXPECT_TRUE(patient);

  lumewell::testing::writeFile(dir.path() + "/file", "x");
  auto refused = DataFolderLock::acquire(dir.path() + "/file", std::chrono::milliseconds(0));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().code, EWOULDBLOCK) << "not mistaken for another host";
}

}  // namespace
}  // namespace lumewell::app
