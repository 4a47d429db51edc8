#include "media/sha256.h"

#include <gtest/gtest.h>

#include "media/compose_test_files.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

// The empty file, and one larger than a read block holding every byte value, against the
// system's tool.
TEST(Sha256Test, DigestsOfWholeFilesAndMissingFiles) {
  TempDir dir;
  lumewell::testing::writeFile(dir.path() + "/empty", "");
  EXPECT_EQ(*sha256FileHex(dir.path() + "/empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  const std::string bigPath = dir.path() + "/big";
  lumewell::testing::writeFile(bigPath, big);
  auto digest = sha256FileHex(bigPath);
  ASSERT_TRUE(digest);
  EXPECT_EQ(*digest, commandOutput("sha256sum '" + bigPath + "'").substr(0, 64));

  auto missing = sha256FileHex(dir.path() + "/missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, "posix");
  EXPECT_NE(missing.error().localizedDescription.find("/missing"), std::string::npos);
  EXPECT_FALSE(sha256FileHex(dir.path())) << "a folder is not a file";
}

}  // namespace
}  // namespace lumewell::media
