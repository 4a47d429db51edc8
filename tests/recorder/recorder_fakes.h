#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "recorder/audio_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/virtual_scheduler.h"
#include "support/fake_messenger.h"
#include "support/main_loop_helpers.h"
#include "support/test_files.h"

namespace lumewell::recorder::testing {

using lumewell::testing::readFile;
using lumewell::testing::writeFile;
using Log = std::vector<std::string>;
using Call = lumewell::testing::FakeMessenger::Call;

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }
inline void onOtherThread(const std::function<void()>& fn) { std::thread(fn).join(); }
inline std::string fileName(const std::string& p) { return std::filesystem::path(p).filename(); }

struct FakeFeed final : AppAudioFeed {
  void push(const float*, size_t) override {}
  void restart() override {}
};

class FakeAudioServices final : public AudioServices {
 public:
  // Logs "record <file>", "stop <file>", "handover <a> -> <b>"; each recording writes
  // distinct bytes, so an overwritten file shows.
  struct Recorder final : MicrophoneRecorder {
    Recorder(FakeAudioServices& mic, std::string path, std::shared_ptr<FakeFeed> feed)
        : mic(mic), path(std::move(path)), feed(std::move(feed)) {}
    bool record() override { return !mic.recordFails && begin("record " + fileName(path)); }
    void stop() override {
      if (recording) mic.log.push_back("stop " + fileName(path));
      recording = false;
    }
    double currentTime() const override { return 0; }  // asked only at a handover
    void updateMeters() override {}
    float averagePowerForChannel(int) const override { return mic.power; }
    OptionalError failure() const override { return mic.recorderFailure; }
    std::shared_ptr<AppAudioFeed> appAudioFeed() override { return feed; }
    Result<std::unique_ptr<MicrophoneRecorder>> continueInto(const std::string& to) override {
      if (!mic.offerHandover) return MicrophoneRecorder::continueInto(to);
      if (mic.handoverFails) {  // leaving a partial file behind, as a real one might
        writeFile(to, "partial");
        return Error{"pulse", 15, "Bad state"};
      }
      auto next = std::make_unique<Recorder>(mic, to, feed);
      next->begin("handover " + fileName(path) + " -> " + fileName(to));
      return std::unique_ptr<MicrophoneRecorder>(std::move(next));
    }
    bool begin(const std::string& entry) {
      writeFile(path, "audio " + std::to_string(++mic.recordings) + " of " + fileName(path));
      mic.log.push_back(entry);
      return recording = true;
    }
    FakeAudioServices& mic;
    std::string path;
    std::shared_ptr<FakeFeed> feed;
    bool recording = false;
  };

  explicit FakeAudioServices(std::string dataDir) : dataDir(std::move(dataDir)) {}
  Result<std::unique_ptr<MicrophoneRecorder>> makeRecorder(
      const std::string& path, const RecorderSettings& settings) override {
    settingsUsed.push_back(settings);
    if (makeRecorderError) return *makeRecorderError;
    std::shared_ptr<FakeFeed> feed;
    if (settings.mixAppAudio) feed = feeds.emplace_back(std::make_shared<FakeFeed>());
    return std::unique_ptr<MicrophoneRecorder>(new Recorder(*this, path, feed));
  }
  int microphoneAuthorizationStatus() override { return micStatus; }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override {
    ++accessRequests;
    pendingAccess = std::move(completion);
  }
  std::optional<int64_t> mediaDurationMs(const std::string& path) override {
    if (auto it = durations.find(path); it != durations.end()) return it->second;
    return exists(path) ? std::optional<int64_t>(30000) : std::nullopt;
  }
  Result<std::string> sha256Hex(const std::string& path) override {
    if (hashFails.count(path) || !exists(path)) {
      return Error{"posix", 5, "Cannot read " + path + ": Input/output error"};
    }
    return "digest " + std::to_string(std::hash<std::string>()(readFile(path)));
  }
  void composeAudio(std::vector<std::string> paths, std::string output,
                    std::function<void(OptionalError)> completion) override {
    composeCalls.push_back(paths);
    composeCalls.back().push_back("-> " + output);
    if (!composeError) writeFile(output, "joined");
    onOtherThread([&] { completion(composeError); });
  }
  std::optional<int64_t> freeDiskBytes() override { return freeBytes; }
  std::string dataDirectory() override { return dataDir; }

  std::string dataDir;
  bool recordFails = false, offerHandover = false, handoverFails = false;
  OptionalError recorderFailure;  // what a running recorder reports
  float power = -20.0f;
  int micStatus = kMicAuthorized, accessRequests = 0, recordings = 0;
  Log log;
  std::function<void(bool)> pendingAccess;
  std::map<std::string, std::optional<int64_t>> durations;  // 30 s for any other file
  std::set<std::string> hashFails;
  std::vector<Log> composeCalls;  // the inputs, then "-> <output>"
  OptionalError composeError, makeRecorderError;
  std::optional<int64_t> freeBytes = int64_t{10} << 30;
  std::vector<RecorderSettings> settingsUsed;
  std::vector<std::shared_ptr<FakeFeed>> feeds;  // one per run of the application mode
};

class FakeAppAudioServices final : public AppAudioServices {
 public:
  // One capture session, also after the plug-in dropped it.
  struct Capture {
    std::shared_ptr<AppAudioFeed> feed;
    std::function<void(std::string)> onUnexpectedStop;
    bool stopped = false, cancelled = false;
    std::function<void(OptionalError)> heldStart;
  };
  struct Session final : AppAudioCaptureSession {
    Session(FakeAppAudioServices& owner, std::shared_ptr<Capture> c) : owner(owner), c(c) {}
    void start(std::function<void(OptionalError)> done) override {
      if (owner.holdStart) return void(c->heldStart = std::move(done));
      owner.scheduler.post([done, error = owner.startError] { done(error); });
    }
    void stop(std::function<void(OptionalError)> done) override {
      c->stopped = true;
      owner.scheduler.post([done, error = owner.stopError] { done(error); });
    }
    void cancel() override { c->cancelled = true; }
    FakeAppAudioServices& owner;
    std::shared_ptr<Capture> c;
  };

  explicit FakeAppAudioServices(VirtualScheduler& scheduler) : scheduler(scheduler) {}
  void listSources(std::function<void(std::vector<AppAudioSource>)> completion) override {
    onOtherThread([&] { completion({}); });
  }
  void validateSource(const std::string& sourceId,
                      std::function<void(bool, std::optional<std::string>)> done) override {
    validated.push_back(sourceId);
    onOtherThread([&] { done(!invalid, invalid); });
  }
  void resolveCaptureTarget(const std::string&,
                            std::function<void(Result<AppAudioTarget>)> completion) override {
    onOtherThread([&] { completion(AppAudioTarget{4711, "Meeting", "org.meeting", 1, "Out"}); });
  }
  std::string appAudioErrorMessage(const Error& e) override { return e.localizedDescription; }
  std::unique_ptr<AppAudioCaptureSession> makeCaptureSession(
      const AppAudioTarget&, std::shared_ptr<AppAudioFeed> feed,
      std::function<void(std::string)> onUnexpectedStop) override {
    captures.push_back(std::make_shared<Capture>(Capture{feed, onUnexpectedStop}));
    return std::make_unique<Session>(*this, captures.back());
  }

  VirtualScheduler& scheduler;
  bool holdStart = false;
  std::optional<std::string> invalid;  // why validateSource refuses, if it does
  Log validated;
  OptionalError startError, stopError;
  std::vector<std::shared_ptr<Capture>> captures;
};

inline const std::string& str(const Value& map, const char* key) {
  static const std::string none = "<absent>";
  const std::string* s = mapString(map.asMap(), key);
  return s ? *s : none;
}
inline int64_t num(const Value& map, const char* key) {
  int64_t out = -1;
  if (const Value* v = map.asMap()->find(key)) v->asInt64(&out);
  return out;
}

// The plug-in wired to fakes, a virtual clock and a listening fake messenger.
class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() {
    plugin->registerChannels(messenger);
    listen();
  }
  std::string folder(const std::string& id = "rec-1") const {
    return dir.path() + "/data/recordings/" + id;
  }
  std::string file(const std::string& name, const std::string& id = "rec-1") const {
    return folder(id) + "/" + name;
  }
  void listen(bool on = true) {
    messenger.call(LumewellNativeRecorderPlugin::kEventChannel, on ? "listen" : "cancel");
  }
  std::shared_ptr<Call> invoke(const std::string& method, const Value& arguments = Value()) {
    return messenger.call(LumewellNativeRecorderPlugin::kMethodChannel, method, arguments);
  }
  std::shared_ptr<Call> invokeAndRun(const std::string& method, const Value& args = Value()) {
    auto call = invoke(method, args);
    scheduler.runPending();
    return call;
  }
  void ok(std::initializer_list<const char*> methods) {
    for (const char* method : methods) {
      SCOPED_TRACE(method);
      expectSuccess(invokeAndRun(method));
    }
  }
  std::shared_ptr<Call> start(const std::string& id = "rec-1", const std::string& mode = "MIC_ONLY",
                              std::optional<std::string> source = std::nullopt,
                              std::optional<std::string> sourceName = std::nullopt) {
    ValueMap args{{"recordingId", id}, {"captureMode", mode}};
    if (source) args.set("sourceId", *source);
    if (sourceName) args.set("sourceDisplayName", *sourceName);
    return invokeAndRun("startRecording", Value(args));
  }
  ValueList eventsOfType(const std::string& t) const {
    return lumewell::testing::eventsOfType(events, t);
  }
  Log types() const { return lumewell::testing::eventTypes(events); }
  // The events but levels, folder and date cut: "sealed <index> <id>/<file> <startedAt>", "error
  // <message>", "lost <reason> (<name>)", "stopped"; with other keys: "<type> with <n> keys".
  Log eventLog() const {
    const auto trim = [&](std::string text, const std::string& prefix) {
      for (size_t at; (at = text.find(prefix)) != std::string::npos;) text.erase(at, prefix.size());
      return text;
    };
    const std::string root = folder("");
    Log out;
    for (const Value& e : events) {
      const std::string& type = str(e, "type");
      const size_t keys = e.asMap()->size();
      if (type == "segment_sealed" && keys == 11) {
        out.push_back("sealed " + std::to_string(num(e, "index")) + " " +
                      trim(str(e, "path"), root) + " " + trim(str(e, "startedAt"), "2025-01-01T"));
      } else if (type == "error" && keys == 2) {
        out.push_back("error " + trim(str(e, "message"), root));
      } else if (type == "source_lost" && keys == 3) {
        out.push_back("lost " + str(e, "reason") + " (" + str(e, "sourceDisplayName") + ")");
      } else if (type != "level_changed") {
        out.push_back(type + (type == "stopped" && keys == 1
                                  ? ""
                                  : " with " + std::to_string(keys) + " keys"));
      }
    }
    return out;
  }
  // "recording, 2 timers"
  std::string state() const {
    const char* names[] = {"idle", "recording", "paused"};
    return names[static_cast<int>(plugin->runtimeState())] + std::string(", ") +
           std::to_string(scheduler.activeTimerCount()) + " timers";
  }
  static void expectSuccess(const std::shared_ptr<Call>& call) {
    EXPECT_TRUE(call->isSuccess()) << (call->envelope ? call->envelope->error.code : "no answer");
  }
  // details: none expects no details, "*" any string, anything else that exact string.
  static void expectError(const std::shared_ptr<Call>& call, const std::string& code,
                          const std::string& message,
                          std::optional<std::string> details = std::nullopt) {
    ASSERT_TRUE(call->envelope && call->envelope->kind == MethodEnvelope::Kind::error) << code;
    const MethodError& e = call->envelope->error;
    EXPECT_EQ(std::pair(e.code, e.message.value_or("")), std::pair(code, message));
    const std::string* d = e.details.asString();
    EXPECT_TRUE(details ? d && (*details == "*" || *d == *details) : e.details.isNull())
        << (d ? *d : "no details");
  }

  // Declared in this order so that the plug-in goes before the clock and the folder.
  lumewell::testing::TempDir dir;
  VirtualScheduler scheduler;
  std::shared_ptr<FakeAudioServices> audio =
      std::make_shared<FakeAudioServices>(dir.path() + "/data");
  std::shared_ptr<FakeAppAudioServices> app = std::make_shared<FakeAppAudioServices>(scheduler);
  std::shared_ptr<LumewellNativeRecorderPlugin> plugin =
      std::make_shared<LumewellNativeRecorderPlugin>(scheduler, audio, app);
  lumewell::testing::FakeMessenger messenger;
  std::vector<Value>& events = messenger.events[LumewellNativeRecorderPlugin::kEventChannel];
};

}  // namespace lumewell::recorder::testing
