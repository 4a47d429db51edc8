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

bool readyOf(const Value& record) {
  const bool* ready = mapBool(record.asMap(), "ready");
  EXPECT_NE(ready, nullptr);
  return ready != nullptr && *ready;
}

Value preflightArgs(const std::string& mode, std::optional<std::string> source = std::nullopt) {
  ValueMap args{{"captureMode", mode}};
  if (source) args.set("sourceId", *source);
  return Value(args);
}

Value resultOf(const std::shared_ptr<Call>& call) {
  EXPECT_TRUE(call->isSuccess());
  return call->envelope ? call->envelope->result : Value();
}

TEST_F(RecorderTest, FreeSpaceThresholdsDecideReadinessAndWarnings) {
  struct Case {
    std::optional<int64_t> free;
    bool ready;
    std::optional<std::string> warning;
  };
  const Case cases[] = {
      {536870911, false, kCritical},    {536870912, true, kLow},          {4294967295, true, kLow},
      {4294967296, true, std::nullopt}, {std::nullopt, false, kCritical}, {-5, false, kCritical},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free ? std::to_string(*c.free) : "unknown");
    audio->freeBytes = c.free;
    audio->micStatus = kMicDenied;  // the disk is checked first
    const Value preflight = resultOf(invokeAndRun("runPreflight"));
    EXPECT_EQ(readyOf(preflight), false);
    EXPECT_EQ(num(preflight, "freeBytes"), c.free && *c.free > 0 ? *c.free : 0);
    EXPECT_EQ(str(preflight, "reason"), c.ready ? kMicRequired : kNoSpace);
    EXPECT_EQ(str(preflight, "warning"), c.warning.value_or("<absent>"));

    audio->micStatus = kMicAuthorized;
    const Value ready = resultOf(invokeAndRun("runPreflight"));
    EXPECT_EQ(readyOf(ready), c.ready);
    EXPECT_EQ(str(ready, "reason"), c.ready ? "<absent>" : kNoSpace);
    ValueMap storage{{"freeBytes", Value::integer(c.free && *c.free > 0 ? *c.free : 0)}};
    if (c.warning) storage.set("warning", *c.warning);
    EXPECT_EQ(resultOf(invokeAndRun("getStorageStatus")), Value(storage));
  }
}

TEST_F(RecorderTest, MicrophonePermissionStatesAndThePrompt) {
  audio->micStatus = kMicRestricted;
  EXPECT_EQ(str(resultOf(invokeAndRun("runPreflight")), "reason"), kMicRequired);
  audio->micStatus = 7;
  EXPECT_EQ(str(resultOf(invokeAndRun("runPreflight")), "reason"),
            "Unable to determine microphone permission state.");

  // Not determined: the answer waits for the user; theirs comes on another thread.
  audio->micStatus = kMicNotDetermined;
  auto call = invokeAndRun("runPreflight");
  EXPECT_EQ(audio->accessRequests, 1);
  onOtherThread([&] { audio->pendingAccess(false); });
  EXPECT_FALSE(call->answered());
  scheduler.runPending();
  EXPECT_EQ(str(resultOf(call), "reason"), "Microphone access was denied.");

  call = invokeAndRun("runPreflight", preflightArgs("MIC_PLUS_APP_AUDIO", "4711"));
  onOtherThread([&] { audio->pendingAccess(true); });
  scheduler.runPending();
  // Granted: the source check follows.
  EXPECT_EQ(app->validated, Log{"4711"});
  const Value ready = resultOf(call);
  EXPECT_TRUE(readyOf(ready));
  EXPECT_EQ(ready.asMap()->size(), 2u);  // ready and freeBytes, no reason, no warning
}

TEST_F(RecorderTest, CaptureModeAndSourceChecks) {
  // Not a dictionary, no mode, another case: the microphone alone.
  for (const Value& args : {Value(), Value("MIC_PLUS_APP_AUDIO"), Value(ValueMap{}),
                            preflightArgs("mic_plus_app_audio"), preflightArgs("MIC_ONLY", "1")}) {
    EXPECT_TRUE(readyOf(resultOf(invokeAndRun("runPreflight", args))));
  }

  for (const Value& args :
       {preflightArgs("MIC_PLUS_APP_AUDIO"), preflightArgs("MIC_PLUS_APP_AUDIO", "")}) {
    EXPECT_EQ(str(resultOf(invokeAndRun("runPreflight", args)), "reason"),
              "Pick a desktop app audio source before recording.");
  }
  EXPECT_TRUE(app->validated.empty());

  app->validateOk = false;
  app->validateMessage = "The selected desktop app audio source is invalid.";
  const Value invalid =
      resultOf(invokeAndRun("runPreflight", preflightArgs("MIC_PLUS_APP_AUDIO", "abc")));
  EXPECT_EQ(str(invalid, "reason"), "The selected desktop app audio source is invalid.");
  EXPECT_FALSE(readyOf(invalid));
  EXPECT_EQ(app->validated, Log{"abc"});
}

TEST_F(RecorderTest, AppAudioSourcesAreTwoKeyRecordsAndWithoutAppAudioThereAreNone) {
  app->sources = {{"4711", "Meeting", "org.meeting", 4711}, {"12", "Player", "org.player", 12}};
  EXPECT_EQ(resultOf(invokeAndRun("listAppAudioSources")),
            Value(ValueList{Value(ValueMap{{"id", "4711"}, {"displayName", "Meeting"}}),
                            Value(ValueMap{{"id", "12"}, {"displayName", "Player"}})}));

  // Without app audio the application mode finds no sources but the microphone records.
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
