#include "runtime/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <filesystem>

#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell {
namespace {

using lumewell::testing::fileMode;
using lumewell::testing::TempDir;

TEST(FilesTest, FreeBytesMeasureTheNearestExistingFolderAndCreateNothing) {
  TempDir dir;
  auto here = freeDiskBytes(dir.path());
  auto below = freeDiskBytes(dir.path() + "/not/yet/made");
  ASSERT_TRUE(here && below);
  // Other processes write meanwhile; the same volume is what matters.
  EXPECT_NEAR(double(*here), double(*below), 64.0 * 1024 * 1024);
  struct statvfs info {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &info), 0);
  EXPECT_NEAR(double(*here), double(info.f_bavail) * double(info.f_frsize), 64.0 * 1024 * 1024);
  EXPECT_FALSE(freeDiskBytes("").has_value());
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/not"));
}

TEST(FilesTest, CreateDirectoriesMakesTheChainAndRefusesFiles) {
  TempDir dir;
  const std::string deep = dir.path() + "/a/b/c";
  ASSERT_FALSE(createDirectories(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_FALSE(createDirectories(deep)) << "an existing folder is no error";
  EXPECT_FALSE(createDirectories(deep + "/")) << "a trailing slash is fine";
  lumewell::testing::writeFile(dir.path() + "/file", "x");
  auto error = createDirectories(dir.path() + "/file/sub");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "posix");
  EXPECT_TRUE(createDirectories(dir.path() + "/file"));
  EXPECT_TRUE(createDirectories(""));
}

TEST(FilesTest, PrivateFoldersAre0700WhateverTheUmaskAndWiderOnesAreNarrowed) {
  TempDir dir;
  const mode_t saved = ::umask(022);
  ::chmod(dir.path().c_str(), 0755);
  const std::string root = dir.path() + "/recordings";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_FALSE(createPrivateDirectories(root + "/a/b/", root));
  EXPECT_EQ(fileMode(root), 0700);
  EXPECT_EQ(fileMode(root + "/a"), 0700);
  EXPECT_EQ(fileMode(root + "/a/b"), 0700);
  EXPECT_EQ(fileMode(dir.path()), 0755) << "folders above the root are not ours to change";
  // A root that is not above the path narrows only the path itself.
  ASSERT_EQ(::mkdir((dir.path() + "/other").c_str(), 0755), 0);
  ASSERT_FALSE(createPrivateDirectories(dir.path() + "/other/c", root));
  EXPECT_EQ(fileMode(dir.path() + "/other"), 0755);
  EXPECT_EQ(fileMode(dir.path() + "/other/c"), 0700);
  lumewell::testing::writeFile(dir.path() + "/file", "x");
  EXPECT_TRUE(createPrivateDirectories(dir.path() + "/file/sub", dir.path()));
  ::umask(saved);
}

}  // namespace
}  // namespace lumewell
