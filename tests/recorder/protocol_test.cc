#include <cmath>
#include <thread>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

TEST_F(RecorderTest, UnknownOrMiscasedMethodsAreNotImplementedAndChangeNothing) {
  for (const char* name : {"foo", "StartRecording", "startrecording", "stopRecording "}) {
    auto call = invokeAndRun(name, Value(ValueMap{{"recordingId", "x"}}));
    ASSERT_TRUE(call->answered()) << name;
    EXPECT_EQ(call->envelope->kind, MethodEnvelope::Kind::notImplemented) << name;
  }
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(messenger.events.empty());
  EXPECT_FALSE(exists(dir.path() + "/data"));
  EXPECT_TRUE(messenger.invoke("getStorageStatus")->isSuccess()) << "answered before returning";
}

TEST_F(RecorderTest, StartRecordingChecksArgumentsInOrderBeforeAnythingChanges) {
  audio->micStatus = kMicDenied;
  for (const auto& [args, message] :
       {std::pair{Value(), "Missing start recording arguments."},
        std::pair{Value(ValueList{Value("rec")}), "Missing start recording arguments."},
        std::pair{Value(ValueMap{}), "Missing recordingId."},
        std::pair{Value(ValueMap{{"recordingId", int32_t{7}}}), "Missing recordingId."}}) {
    expectError(invokeAndRun("startRecording", args), "bad_args", message);
  }

  // An id that would leave or break the recordings folder, even with the microphone denied.
  const std::string nul("a\0b", 3);
  for (const std::string& id :
       {std::string(""), std::string("."), std::string(".."), std::string("../x"),
        std::string("a/b"), std::string("/abs"), nul, std::string(256, 'x')}) {
    expectError(invokeAndRun("startRecording", Value(ValueMap{{"recordingId", id}})), "bad_args",
                "Invalid recordingId.");
  }
  for (int status : {kMicNotDetermined, kMicRestricted, kMicDenied, 9}) {
    audio->micStatus = status;
    expectError(start(std::string(255, 'x')), "permission_denied",
                "Microphone access is required before recording can start.");
    // The permission comes before the missing source.
    expectError(start("rec", "MIC_PLUS_APP_AUDIO", ""), "permission_denied",
                "Microphone access is required before recording can start.");
  }
  audio->micStatus = kMicAuthorized;
  expectError(start("rec", "MIC_PLUS_APP_AUDIO"), "bad_args", "Missing desktop app audio source.");
  expectError(start("rec", "MIC_PLUS_APP_AUDIO", ""), "bad_args",
              "Missing desktop app audio source.");
  expectError(invokeAndRun("startRecording", Value(ValueMap{{"recordingId", "rec"},
                                                            {"captureMode", "MIC_PLUS_APP_AUDIO"},
                                                            {"sourceId", int32_t{4711}}})),
              "bad_args", "Missing desktop app audio source.");

  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(messenger.events.empty());
  EXPECT_TRUE(audio->settingsUsed.empty());
  EXPECT_FALSE(exists(dir.path() + "/data"));

  // A 255-byte id is a valid file name; the mode in lower case records the microphone only
  // and needs no source.
  expectSuccess(start(std::string(255, 'x'), "mic_plus_app_audio"));
  EXPECT_TRUE(exists(file("000000.m4a", std::string(255, 'x'))));
  EXPECT_TRUE(app->resolved.empty());
}

TEST_F(RecorderTest, EventsGoOnlyToTheCurrentListenerAndLevelsStayInZeroToOne) {
  messenger.cancel();
  expectSuccess(start());
  scheduler.advance(std::chrono::seconds(1));
  EXPECT_TRUE(messenger.events.empty());

  // A cancel does not stop the recording; after a new listen the levels come again.
  EXPECT_EQ(plugin->runtimeState(), RuntimeState::recording);
  messenger.listen();
  EXPECT_TRUE(messenger.events.empty());
  scheduler.advance(std::chrono::seconds(1));
  auto levels = messenger.eventsOfType("level_changed");
  ASSERT_EQ(levels.size(), 4u);
  const Value& level = levels[0].asMap()->find("level")[0];
  ASSERT_TRUE(level.is<double>());
  EXPECT_NEAR(level.get<double>(), 0.1, 1e-6);  // -20 dB
  EXPECT_EQ(levels[0].asMap()->size(), 2u);

  // The level is above zero and at most one, whatever the meter says.
  for (float power : {0.0f, 6.0f, -160.0f, -INFINITY, NAN}) {
    messenger.events.clear();
    audio->power = power;
    scheduler.advance(std::chrono::milliseconds(250));
    auto levels = messenger.eventsOfType("level_changed");
    ASSERT_EQ(levels.size(), 1u);
    double level = levels[0].asMap()->find("level")->get<double>();
    EXPECT_GT(level, 0.0) << power;
    EXPECT_TRUE(level <= 1.0 && (!(power >= 0) || level == 1.0)) << power;
  }
}

TEST(RecorderSharedInstance, TheFactoryRunsOnceAgainstConcurrentFirstUse) {
  static VirtualScheduler scheduler;  // outlives the process-wide instance
  int made = 0;
  ASSERT_TRUE(LumewellNativeRecorderPlugin::configureShared([&] {
    ++made;
    return std::make_shared<LumewellNativeRecorderPlugin>(scheduler, nullptr, nullptr);
  }));
  std::shared_ptr<LumewellNativeRecorderPlugin> a, b;
  std::thread t1([&] { a = LumewellNativeRecorderPlugin::shared(); });
  std::thread t2([&] { b = LumewellNativeRecorderPlugin::shared(); });
  t1.join();
  t2.join();
  EXPECT_EQ(made, 1);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_FALSE(LumewellNativeRecorderPlugin::configureShared(nullptr));
  EXPECT_EQ(LumewellNativeRecorderPlugin::shared(), a);
}

}  // namespace
}  // namespace lumewell::recorder::testing
