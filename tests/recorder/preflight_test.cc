#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

const std::string kCritical =
    "Free disk space is critically low. Lumewell Recorder needs room for local segments and the "
    "assembled upload file.";
const std::string kLow =
    "Free disk space is low. Long sessions temporarily duplicate audio during upload preparation.";
const std::string kNoSpace = "Not enough free disk space to safely start a recording.";
const std::string kMicRequired =
    "Microphone access is required. Enable it in System Settings > Privacy & Security > "
    "Microphone.";
const std::string kPickSource = "Pick a desktop app audio source before recording.";

Value args(const std::string& mode, std::optional<std::string> source = std::nullopt) {
  ValueMap args{{"captureMode", mode}};
  if (source) args.set("sourceId", *source);
  return Value(args);
}

class PreflightTest : public RecorderTest {
 protected:
  Value resultOf(const std::shared_ptr<Call>& call) {
    EXPECT_TRUE(call->isSuccess());
    return call->envelope ? call->envelope->result : Value();
  }
  // The whole record: "ready", "freeBytes", then the reason and the warning if any.
  void expectPreflight(const Value& arguments, std::optional<std::string> reason,
                       int64_t free = int64_t{10} << 30, std::optional<std::string> warning = {}) {
    ValueMap record{{"ready", !reason}, {"freeBytes", Value::integer(free)}};
    if (reason) record.set("reason", *reason);
    if (warning) record.set("warning", *warning);
    EXPECT_EQ(resultOf(invokeAndRun("runPreflight", arguments)), Value(record));
  }
};

TEST_F(PreflightTest, FreeSpaceThresholdsDecideReadinessAndWarningsBeforeTheMicrophone) {
  struct Case {
    std::optional<int64_t> free;
    bool ready;
    std::optional<std::string> warning;
  } const cases[] = {
      {536870911, false, kCritical},    {536870912, true, kLow},          {4294967295, true, kLow},
      {4294967296, true, std::nullopt}, {std::nullopt, false, kCritical}, {-5, false, kCritical},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free ? std::to_string(*c.free) : "unknown");
    const int64_t free = c.free && *c.free > 0 ? *c.free : 0;
    audio->freeBytes = c.free;
    audio->micStatus = kMicDenied;
    expectPreflight(Value(), c.ready ? kMicRequired : kNoSpace, free, c.warning);
    audio->micStatus = kMicAuthorized;
    expectPreflight(Value(), c.ready ? std::nullopt : std::optional(kNoSpace), free, c.warning);
    ValueMap storage{{"freeBytes", Value::integer(free)}};
    if (c.warning) storage.set("warning", *c.warning);
    EXPECT_EQ(resultOf(invokeAndRun("getStorageStatus")), Value(storage));
  }
}

TEST_F(PreflightTest, MicrophonePermissionThePromptThenTheCaptureModeAndSource) {
  audio->micStatus = 7;  // no known state
  expectPreflight(Value(), "Unable to determine microphone permission state.");
  // Not determined: the answer waits for the user; theirs comes on another thread.
  audio->micStatus = kMicNotDetermined;
  auto call = invokeAndRun("runPreflight");
  EXPECT_EQ(audio->accessRequests, 1);
  onOtherThread([&] { audio->pendingAccess(false); });
  EXPECT_FALSE(call->answered());
  scheduler.runPending();
  EXPECT_EQ(str(resultOf(call), "reason"), "Microphone access was denied.");
  // Granted: the source check follows.
  call = invokeAndRun("runPreflight", args("MIC_PLUS_APP_AUDIO", ""));
  onOtherThread([&] { audio->pendingAccess(true); });
  scheduler.runPending();
  EXPECT_EQ(str(resultOf(call), "reason"), kPickSource);

  audio->micStatus = kMicAuthorized;
  // Not a dictionary, no mode, another case: the microphone alone.
  for (const Value& a : {Value(), Value("MIC_PLUS_APP_AUDIO"), Value(ValueMap{}),
                         args("mic_plus_app_audio"), args("MIC_ONLY", "1")}) {
    expectPreflight(a, std::nullopt);
  }
  expectPreflight(args("MIC_PLUS_APP_AUDIO"), kPickSource);
  expectPreflight(args("MIC_PLUS_APP_AUDIO", "4711"), std::nullopt);
  app->invalid = "The selected desktop app audio source is invalid.";
  expectPreflight(args("MIC_PLUS_APP_AUDIO", "abc"), *app->invalid);
  EXPECT_EQ(app->validated, (Log{"4711", "abc"}));  // none without a source
}

TEST_F(PreflightTest, WithoutAppAudioThereAreNoSourcesAndTheMicrophoneRecordsAlone) {
  plugin = std::make_shared<LumewellNativeRecorderPlugin>(scheduler, audio, nullptr);
  plugin->registerChannels(messenger);
  listen();
  EXPECT_EQ(resultOf(invokeAndRun("listAppAudioSources")), Value(ValueList{}));
  expectSuccess(start("r", "MIC_PLUS_APP_AUDIO", "1"));
  EXPECT_EQ(types(), Log{"source_lost"});
  EXPECT_TRUE(exists(file("000000.m4a", "r")));
}

}  // namespace
}  // namespace lumewell::recorder::testing
