#include "app_audio/pulse_app_audio_services.h"

#include <unistd.h>

#include <algorithm>

#include "app_audio/app_audio_capture_session.h"
#include "app_audio/desktop_entries.h"
#include "app_audio/server_state_reader.h"
#include "app_audio/snapshot_builder.h"
#include "pulse/pulse_connection.h"

namespace lumewell::app_audio {
namespace {

recorder::AppAudioSource toAppAudioSource(const SnapshotApplication& app) {
  return recorder::AppAudioSource{std::to_string(app.processID), app.applicationName,
                                  app.bundleIdentifier, app.processID};
}

recorder::AppAudioTarget toAppAudioTarget(const CaptureTarget& target) {
  return recorder::AppAudioTarget{target.application.processID, target.application.applicationName,
                                  target.application.bundleIdentifier, target.display.deviceIndex,
                                  target.display.name};
}

}  // namespace

PulseAppAudioServices::PulseAppAudioServices(PulseAppAudioOptions options)
    : options_(std::move(options)),
      snapshots_("app-audio-qry", kQueryDeadline,
                 [this](std::chrono::steady_clock::time_point deadline) {
                   return takeSnapshot(deadline);
                 }) {
  if (!options_.processes) options_.processes = std::make_shared<ProcProcessTable>();
  if (options_.hostProcessId == 0) options_.hostProcessId = static_cast<int32_t>(::getpid());
}

PulseAppAudioServices::~PulseAppAudioServices() = default;

Result<ShareableContent> PulseAppAudioServices::takeSnapshot(
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  auto within = std::chrono::milliseconds(pulse::kServerTimeout);
  if (deadline) {
    within = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(
                            *deadline - std::chrono::steady_clock::now()),
                        std::chrono::milliseconds(0), within);
  }
  const auto until = std::chrono::steady_clock::now() + within;
  pulse::PulseConnection& connection = pulse::PulseConnection::shared();
  if (auto error = connection.connect(within)) return pulseError(error->code);
  auto state = readServerState(connection, until);
  if (!state) return state.error();
  SnapshotEnvironment env;
  env.hostProcessId = options_.hostProcessId;
  env.processes = options_.processes.get();
  std::unique_ptr<DesktopEntries> entries;  // read only when some application needs it
  if (options_.desktopEntryId) {
    env.desktopEntryId = options_.desktopEntryId;
  } else {
    env.desktopEntryId = [&entries](const std::string& program) {
      if (!entries) entries = std::make_unique<DesktopEntries>();
      return entries->idForProgram(program);
    };
  }
  return buildShareableContent(*state, env);
}

void PulseAppAudioServices::listSources(
    std::function<void(std::vector<recorder::AppAudioSource>)> completion) {
  snapshots_.ask(
      [this, completion = std::move(completion)](const Result<ShareableContent>& content) {
        std::vector<recorder::AppAudioSource> sources;
        if (content) {
          for (const auto& app : catalogueApplications(*content, options_.hostProcessId)) {
            sources.push_back(toAppAudioSource(app));
          }
        }
        completion(std::move(sources));
      });
}

void PulseAppAudioServices::resolveCaptureTarget(
    const std::string& sourceId, std::function<void(Result<recorder::AppAudioTarget>)> completion) {
  auto pid = parseSourceId(sourceId);
  if (!pid) return completion(invalidSourceError());
  snapshots_.ask(
      [pid = *pid, completion = std::move(completion)](const Result<ShareableContent>& content) {
        if (!content) return completion(content.error());
        auto target = selectCaptureTarget(*content, pid);
        if (!target) return completion(target.error());
        completion(toAppAudioTarget(*target));
      });
}

void PulseAppAudioServices::validateSource(
    const std::string& sourceId, std::function<void(bool, std::optional<std::string>)> done) {
  resolveCaptureTarget(sourceId, [done = std::move(done)](Result<recorder::AppAudioTarget> r) {
    if (r) return done(true, std::nullopt);
    done(false, app_audio::appAudioErrorMessage(r.error()));
  });
}

std::string PulseAppAudioServices::appAudioErrorMessage(const Error& error) {
  return app_audio::appAudioErrorMessage(error);
}

std::unique_ptr<recorder::AppAudioCaptureSession> PulseAppAudioServices::makeCaptureSession(
    const recorder::AppAudioTarget& target, std::shared_ptr<recorder::AppAudioFeed> feed,
    std::function<void(std::string reason)> onUnexpectedStop) {
  CaptureSessionOptions o;
  o.scheduler = options_.scheduler;
  o.processes = options_.processes;
  return std::make_unique<LumewellAppAudioCaptureSession>(target, std::move(feed),
                                                          std::move(onUnexpectedStop), o);
}

}  // namespace lumewell::app_audio
