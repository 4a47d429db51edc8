#pragma once

// Services for the plug-ins that touch nothing outside the fuzzer's own folder (the
// messenger is the tests' own, support/fake_messenger.h).
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "recorder/audio_services.h"
#include "runtime/virtual_scheduler.h"
#include "updater/updater_engine.h"

namespace lumewell::fuzzing {

inline bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class FakeMicrophoneRecorder final : public recorder::MicrophoneRecorder {
 public:
  explicit FakeMicrophoneRecorder(std::string path) : path_(std::move(path)) {}
  bool record() override {
    std::ofstream(path_) << "audio";
    return isFile(path_);
  }
  void stop() override {}
  double currentTime() const override { return 1.0; }
  void updateMeters() override {}
  float averagePowerForChannel(int) const override { return -20.0f; }

 private:
  std::string path_;
};

class FakeAudioServices final : public recorder::AudioServices {
 public:
  explicit FakeAudioServices(std::string root) : root_(std::move(root)) {}

  Result<std::unique_ptr<recorder::MicrophoneRecorder>> makeRecorder(
      const std::string& path, const recorder::RecorderSettings&) override {
    // A segment outside the data folder would be a fault of the plug-in.
    if (path.rfind(root_ + "/", 0) != 0 || path.find("/../") != std::string::npos) std::abort();
    return std::unique_ptr<recorder::MicrophoneRecorder>(new FakeMicrophoneRecorder(path));
  }
  int microphoneAuthorizationStatus() override { return recorder::kMicAuthorized; }
  void requestMicrophoneAccess(std::function<void(bool)> completion) override { completion(true); }
  std::optional<int64_t> mediaDurationMs(const std::string& path) override {
    if (!isFile(path)) return std::nullopt;
    return 30000;
  }
  Result<std::string> sha256Hex(const std::string& path) override {
    if (!isFile(path)) return Error{"posix", 2, "No such file"};
    return std::string(64, 'a');
  }
  // Writes nothing: the output is whatever path the call named.
  void composeAudio(std::vector<std::string> paths, std::string,
                    std::function<void(OptionalError)> completion) override {
    for (const auto& p : paths) {
      if (!isFile(p)) {
        completion(Error{"LumewellRecorder", 11, "Audio track missing"});
        return;
      }
    }
    completion(std::nullopt);
  }
  std::optional<int64_t> freeDiskBytes() override { return int64_t{10} << 30; }
  std::string dataDirectory() override { return root_ + "/app.lumewell.Recorder"; }

 private:
  std::string root_;
};

class FakeCaptureSession final : public recorder::AppAudioCaptureSession {
 public:
  void start(std::function<void(OptionalError)> completion) override { completion(std::nullopt); }
  void stop(std::function<void(OptionalError)> completion) override { completion(std::nullopt); }
  void cancel() override {}
};

class FakeAppAudioServices final : public recorder::AppAudioServices {
 public:
  void listSources(std::function<void(std::vector<recorder::AppAudioSource>)> done) override {
    done({{"4242", "Player\x1b[2J", "org.example.Player", 4242}});
  }
  void validateSource(const std::string& id,
                      std::function<void(bool, std::optional<std::string>)> done) override {
    if (id == "4242") {
      done(true, std::nullopt);
    } else {
      done(false, "The selected desktop app is no longer available to capture.");
    }
  }
  void resolveCaptureTarget(const std::string& id,
                            std::function<void(Result<recorder::AppAudioTarget>)> done) override {
    if (id == "4242") {
      done(recorder::AppAudioTarget{4242, "Player", "org.example.Player", 1, "Output"});
    } else {
      done(Error{"app_audio", 1, "unavailable"});
    }
  }
  std::string appAudioErrorMessage(const Error& error) override {
    return error.localizedDescription;
  }
  std::unique_ptr<recorder::AppAudioCaptureSession> makeCaptureSession(
      const recorder::AppAudioTarget&, const std::string&, Duration,
      std::function<void(std::string)>) override {
    return std::make_unique<FakeCaptureSession>();
  }
};

// Finds nothing, downloads nothing; reports each check back on the main thread.
class FakeUpdaterEngine final : public updater::UpdaterEngine {
 public:
  FakeUpdaterEngine(Scheduler& scheduler, std::weak_ptr<updater::UpdaterDelegate> delegate)
      : scheduler_(scheduler), delegate_(std::move(delegate)) {}
  void start() override {}
  void resetUpdateCycle() override {}
  void checkForUpdates() override { finish(updater::UpdateCheck::updates); }
  void checkForUpdateInformation() override { finish(updater::UpdateCheck::updateInformation); }
  OptionalError installPendingOnQuit() override { return std::nullopt; }

 private:
  void finish(updater::UpdateCheck check) {
    scheduler_.post([weak = delegate_, check] {
      if (auto d = weak.lock()) {
        d->didNotFindUpdate();
        d->didFinishUpdateCycle(check, std::nullopt);
      }
    });
  }
  Scheduler& scheduler_;
  std::weak_ptr<updater::UpdaterDelegate> delegate_;
};

}  // namespace lumewell::fuzzing
