#include <glib.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/main_loop_helpers.h"
#include "tools/ctl_client.h"
#include "tools/printable.h"

namespace lumewell::tools {
namespace {

TEST(Printable, NamesReachTheTerminalWithoutControlsAndJsonStaysDecodable) {
  EXPECT_EQ(printableText("Caf\xc3\xa9 Player"), "Caf\xc3\xa9 Player");
  EXPECT_EQ(printableText("evil\x1b]0;owned\x07\r\n"), "evil\\x1b]0;owned\\x07\\x0d\\x0a");
  EXPECT_EQ(printableText("a\\x1b"), "a\\\\x1b");  // an escape-looking name stays distinct
  // C1 controls (a one-byte CSI), bidirectional overrides, DEL and broken UTF-8.
  EXPECT_EQ(printableText("\xc2\x9b"
                          "2J\xe2\x80\xae"
                          "gpj\x7f\xff"),
            "\\x9b2J\\u{202e}gpj\\x7f\\xff");
  const std::string json =
      "{\"n\":\"\xc2\x9b"
      "2J \xe2\x80\xae x \xf0\x9f\x8e\xb5 \xc3\xa9\x7f\"}";
  EXPECT_EQ(printableJson(json),
            "{\"n\":\"\\u009b2J \\u202e x \xf0\x9f\x8e\xb5 \xc3\xa9\\u007f\"}");
}

TEST(Lumewellctl, WaitsTenSecondsByDefaultAndTheLongRunningCallsAsLongAsTheyTake) {
  EXPECT_EQ(callTimeout("getStorageStatus", std::nullopt), kDefaultTimeoutSeconds);
  EXPECT_EQ(callTimeout("assembleRecording", std::nullopt), std::nullopt);
  EXPECT_EQ(callTimeout("runPreflight", std::nullopt), std::nullopt);
  EXPECT_EQ(callTimeout("runPreflight", 3.0), 3.0);

  // A host that takes the connection but never answers: exit 2 and a message that says so.
  testing::TempDir dir;
  const std::string path = dir.path() + "/host.sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  for (const char* method : {"getStorageStatus", "runPreflight"}) {
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    const gchar* argv[] = {LUMEWELLCTL_PATH, "--socket", path.c_str(), "--timeout", "0.3",
                           "call",           "recorder", method,       nullptr};
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                             nullptr, &out, &err, &status, nullptr));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kExitUnreachable);
    EXPECT_NE(std::string(err).find(std::string("did not answer \"") + method + "\" within 0.3 s"),
              std::string::npos)
        << err;
    g_free(out);
    g_free(err);
  }
  ::close(fd);
}

}  // namespace
}  // namespace lumewell::tools
