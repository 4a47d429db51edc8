#include <thread>

#include "recorder/recorder_fakes.h"

namespace lumewell::recorder::testing {
namespace {

TEST_F(RecorderTest, UnknownMethodsAndBadStartArgumentsAreRefusedInOrderChangingNothing) {
  for (const char* name : {"foo", "StartRecording", "startrecording", "stopRecording "}) {
    auto call = invokeAndRun(name, Value(ValueMap{{"recordingId", "x"}}));
    EXPECT_TRUE(call->answered() && call->reply.empty()) << name << " is not implemented";
  }
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
    // The permission comes before the missing source.
    for (const auto& [id, mode] : {std::pair{std::string(255, 'x'), "MIC_ONLY"},
                                   std::pair{std::string("rec"), "MIC_PLUS_APP_AUDIO"}}) {
      expectError(start(id, mode, ""), "permission_denied",
                  "Microphone access is required before recording can start.");
    }
  }
  audio->micStatus = kMicAuthorized;
  for (const Value& source : {Value(), Value(""), Value(int32_t{4711})}) {
    ValueMap args{{"recordingId", "rec"}, {"captureMode", "MIC_PLUS_APP_AUDIO"}};
    if (!source.isNull()) args.set("sourceId", source);
    expectError(invokeAndRun("startRecording", Value(args)), "bad_args",
                "Missing desktop app audio source.");
  }

  EXPECT_EQ(plugin->runtimeState(), RuntimeState::idle);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(audio->settingsUsed.empty());
  EXPECT_FALSE(exists(dir.path() + "/data"));
  EXPECT_TRUE(invoke("getStorageStatus")->isSuccess()) << "answered before returning";

  // A 255-byte id is a valid file name; the mode in lower case is the microphone alone.
  expectSuccess(start(std::string(255, 'x'), "mic_plus_app_audio"));
  EXPECT_TRUE(exists(file("000000.m4a", std::string(255, 'x'))));
  EXPECT_TRUE(app->resolved.empty());
}

TEST(RecorderSharedInstance, TheFactoryRunsOnceAgainstConcurrentFirstUse) {
  static VirtualScheduler scheduler;  // outlives the process-wide instance
  int made = 0;
  ASSERT_TRUE(LumewellNativeRecorderPlugin::configureShared([&] {
    ++made;
    return std::make_shared<LumewellNativeRecorderPlugin>(scheduler, nullptr, nullptr);
  }));
  std::shared_ptr<LumewellNativeRecorderPlugin> a, b;
  std::thread t([&] { a = LumewellNativeRecorderPlugin::shared(); });
  b = LumewellNativeRecorderPlugin::shared();
  t.join();
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(a && a == b);
  EXPECT_FALSE(LumewellNativeRecorderPlugin::configureShared(nullptr));
  EXPECT_EQ(LumewellNativeRecorderPlugin::shared(), a);
}

}  // namespace
}  // namespace lumewell::recorder::testing
