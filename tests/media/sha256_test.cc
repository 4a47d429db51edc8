#include "media/sha256.h"

#include <gtest/gtest.h>

#include "media/compose_test_files.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

std::string writeFile(const std::string& path, const std::string& bytes) {
  lumewell::testing::writeFile(path, bytes);
  return path;
}

TEST(Sha256Test, KnownDigestsAcrossBlockBoundariesAndMissingFiles) {
  TempDir dir;
  EXPECT_EQ(*sha256FileHex(writeFile(dir.path() + "/empty", "")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(*sha256FileHex(writeFile(dir.path() + "/abc", "abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(*sha256FileHex(writeFile(dir.path() + "/million", std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  // Larger than one read block, with every byte value, against the system's tool.
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  const std::string bigPath = writeFile(dir.path() + "/big", big);
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
