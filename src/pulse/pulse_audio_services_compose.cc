#include "media/compose_audio.h"
#include "pulse/pulse_audio_services.h"
#include "runtime/job_limiter.h"

namespace lumewell::pulse {
namespace {

// Each composition runs on a thread of its own: two at a time keep both cores busy, and a
// burst of requests waits its turn instead of starting a thread each.
constexpr size_t kConcurrentCompositions = 2;
constexpr size_t kQueuedCompositions = 64;

JobLimiter& compositions() {
  static JobLimiter* limiter = new JobLimiter(kConcurrentCompositions, kQueuedCompositions);
  return *limiter;
}

}  // namespace

void PulseAudioServices::composeAudio(std::vector<std::string> paths, std::string output,
                                      std::function<void(OptionalError)> completion) {
  auto shared = std::make_shared<std::function<void(OptionalError)>>(std::move(completion));
  compositions().submit(JobLimiter::Job{
      [paths = std::move(paths), output = std::move(output),
       shared](JobLimiter::Done done) mutable {
        media::composeAudio(std::move(paths), std::move(output),
                            [shared, done](OptionalError error) {
                              (*shared)(std::move(error));
                              done();
                            });
      },
      [shared] { (*shared)(media::compositionError(media::kCompositionCancelled)); },
  });
}

void cancelQueuedCompositions() { compositions().close(); }

}  // namespace lumewell::pulse
