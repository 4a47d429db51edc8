// Feeds arbitrary method calls to the three plug-ins, each on fake services (no sound server,
// no network, no desktop): every call must be answered exactly once, nothing may crash.
//
// Input: a sequence of calls, each [plug-in byte][method byte][u16 LE length][argument bytes
// as StandardMessageCodec]; undecodable arguments are sent as raw call bytes instead.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bridge/lumewell_app_bridge.h"
#include "channels/binary_messenger.h"
#include "fake_services.h"
#include "recorder/recorder_plugin.h"
#include "runtime/virtual_scheduler.h"
#include "support/fake_messenger.h"
#include "updater/updater_plugin.h"

using namespace lumewell;

namespace {

struct Channel {
  const char* name;
  std::vector<const char*> methods;
};

const Channel kChannels[] = {
    {"lumewell/native_recorder",
     {"runPreflight", "listAppAudioSources", "getStorageStatus", "startRecording", "pauseRecording",
      "resumeRecording", "stopRecording", "assembleRecording"}},
    {"lumewell/native_recorder/events", {"listen", "cancel"}},
    {"lumewell/updater",
     {"configure", "getStatus", "checkForUpdates", "setInstallGuard", "installDeferredUpdate"}},
    {"lumewell/updater/events", {"listen", "cancel"}},
    {"lumewell/app", {"openExternalUrl", "consumePendingAuthCallback", "restartApp"}},
    {"lumewell/app/events", {"listen", "cancel"}},
};

std::string dataRoot() {
  static const std::string root = [] {
    auto dir = std::filesystem::temp_directory_path() /
               ("lumewell-plugin-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
  }();
  return root;
}

// Keeps every path a call names inside the fuzzer's folder: an absolute path is moved below
// it, and no ".." may climb out.
void confine(Value& value) {
  if (auto* text = std::get_if<std::string>(&value)) {
    for (size_t at; (at = text->find("..")) != std::string::npos;) text->replace(at, 2, "__");
    if (!text->empty() && text->front() == '/') *text = dataRoot() + *text;
  } else if (auto* list = std::get_if<ValueList>(&value)) {
    for (auto& item : *list) confine(item);
  } else if (auto* map = std::get_if<ValueMap>(&value)) {
    ValueMap confined;
    for (const auto& [key, item] : *map) {
      Value copy = item;
      confine(copy);
      confined.append(key, std::move(copy));
    }
    *map = std::move(confined);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VirtualScheduler scheduler;
  // Every fault it sees (a call answered twice, an undecodable event) ends the run.
  lumewell::testing::FakeMessenger messenger([](const std::string&) { std::abort(); });
  auto audio = std::make_shared<fuzzing::FakeAudioServices>(dataRoot());
  auto appAudio = std::make_shared<fuzzing::FakeAppAudioServices>();
  auto recorder =
      std::make_shared<recorder::LumewellNativeRecorderPlugin>(scheduler, audio, appAudio);
  recorder->registerChannels(messenger);
  auto updater = std::make_shared<updater::LumewellUpdaterPlugin>(
      [&scheduler](std::weak_ptr<updater::UpdaterDelegate> delegate) {
        return std::make_shared<fuzzing::FakeUpdaterEngine>(scheduler, delegate);
      },
      scheduler);
  updater->registerChannels(messenger);
  auto bridge = std::make_shared<bridge::LumewellAppBridge>(
      scheduler, [](const std::string&, std::function<void(bool)> done) { done(true); },
      [](std::string_view) {});
  bridge->registerChannels(messenger);

  std::vector<std::shared_ptr<lumewell::testing::FakeMessenger::Call>> calls;
  size_t pos = 0;
  while (pos + 4 <= size && calls.size() < 16) {
    const Channel& channel = kChannels[data[pos] % std::size(kChannels)];
    const char* method = channel.methods[data[pos + 1] % channel.methods.size()];
    size_t length = std::min<size_t>(data[pos + 2] | data[pos + 3] << 8, size - pos - 4);
    ByteView argBytes(data + pos + 4, length);
    const auto step = std::chrono::milliseconds((data[pos + 1] >> 4) * 500);
    pos += 4 + length;
    Bytes message;
    auto arguments = StandardMessageCodec::decode(argBytes);
    if (arguments) {
      confine(*arguments);
      message = StandardMethodCodec::encodeMethodCall({method, *arguments});
    } else {
      message.assign(argBytes.begin(), argBytes.end());
    }
    calls.push_back(messenger.deliver(channel.name, message));
    scheduler.advance(step);
  }
  // Let every timer that the calls armed run out (rotations, restarts, checks).
  for (int i = 0; i < 8; ++i) scheduler.advance(std::chrono::seconds(40));
  if (recorder->runtimeState() == recorder::RuntimeState::recording) {
    calls.push_back(messenger.call("lumewell/native_recorder", "stopRecording"));
    for (int i = 0; i < 4; ++i) scheduler.advance(std::chrono::seconds(40));
  }
  for (const auto& call : calls) {
    if (call->answers != 1) std::abort();  // never answered
  }
  std::error_code ec;
  std::filesystem::remove_all(dataRoot() + "/app.lumewell.Recorder", ec);
  return 0;
}
