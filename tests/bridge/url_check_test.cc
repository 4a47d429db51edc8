#include "bridge/url_check.h"

#include <gtest/gtest.h>

#include <string>

namespace lumewell::bridge {
namespace {

TEST(UrlCheck, AcceptsBoundedAbsoluteUrlsOnly) {
  for (const char* url :
       {"lumewell://auth?code=1&state=a%20b", "https://example.com/p#frag",
        "mailto:someone@example.com", "lumewell:callback", "http://[::1]:8080/x"}) {
    EXPECT_TRUE(isAbsoluteUrl(url)) << url;
  }
  for (const char* text :
       {"", "hello", "/tmp/file.m4a", "./relative", "1abc:x", "a b:c", "lumewell://a%zz",
        "http://[bad", "https://example.com/a b", "lumewell://x\ny", "lumewell://\x01",
        "lumewell://caf\xc3\xa9", "http://a/<script>", "lumewell://a\"b", "-x", "--help"}) {
    EXPECT_FALSE(isAbsoluteUrl(text)) << text;
  }
  std::string url = "lumewell://auth?code=";
  url.append(kMaxUrlLength - url.size(), 'a');
  EXPECT_TRUE(isAbsoluteUrl(url));
  url.push_back('a');
  EXPECT_FALSE(isAbsoluteUrl(url));
}

}  // namespace
}  // namespace lumewell::bridge
