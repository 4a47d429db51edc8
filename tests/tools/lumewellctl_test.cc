#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "channels/socket_host_messenger.h"
#include "support/main_loop_helpers.h"
#include "support/process_runner.h"
#include "support/test_files.h"
#include "tools/ctl_client.h"
#include "tools/json_mapping.h"
#include "tools/printable.h"

namespace lumewell::tools {
namespace {

using ::testing::HasSubstr;

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
  EXPECT_EQ(callTimeout("assembleRecording", std::nullopt), std::nullopt);

  // A host whose main loop never turns takes the connection (the kernel queues it) but never
  // answers: exit 2 and a message that says so.
  testing::TempDir dir;
  const std::string path = dir.path() + "/host.sock";
  auto host = SocketHostMessenger::listen(path);
  ASSERT_TRUE(host.ok()) << host.error().localizedDescription;
  for (const char* method : {"getStorageStatus", "runPreflight"}) {
    const std::string err = dir.path() + "/" + method + ".err";
    const pid_t pid = testing::spawnProcess(
        {LUMEWELLCTL_PATH, "--socket", path, "--timeout", "0.3", "call", "recorder", method},
        testing::currentEnvironment(), "/dev/null", err);
    EXPECT_EQ(testing::waitForChild(pid), kExitUnreachable);
    EXPECT_THAT(testing::readFile(err),
                HasSubstr(std::string("did not answer \"") + method + "\" within 0.3 s"));
  }
}

TEST(JsonMapping, NumbersPickTheNarrowestCodecTypeBothWays) {
  auto v = jsonToValue(nlohmann::json::parse(
      R"({"small": 5, "neg": -2147483648, "big": 2147483648, "huge": 18446744073709551615,
          "f": 1.5, "whole": 2.0, "list": [true, null]})"));
  // Beyond int64 a number is a float, not a wrapped integer.
  EXPECT_EQ(v, Value(ValueMap{{"big", int64_t{2147483648LL}},
                              {"f", 1.5},
                              {"huge", 18446744073709551615.0},
                              {"list", ValueList{Value(true), Value()}},
                              {"neg", int32_t{INT32_MIN}},
                              {"small", int32_t{5}},
                              {"whole", 2.0}}));

  // And back: non-string keys and non-finite numbers still give valid JSON.
  auto json = valueToJson(Value(ValueMap{{Value(int32_t{1}), Value(NAN)},
                                         {Value("bytes"), Value(std::vector<uint8_t>{1, 2})}}));
  EXPECT_EQ(json, nlohmann::json::parse(R"({"1": null, "bytes": [1, 2]})"));
}

}  // namespace
}  // namespace lumewell::tools
