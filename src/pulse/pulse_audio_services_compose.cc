#include "media/compose_audio.h"
#include "pulse/pulse_audio_services.h"

namespace lumewell::pulse {

void PulseAudioServices::composeAudio(std::vector<std::string> paths, std::string output,
                                      bool overlay, std::function<void(OptionalError)> completion) {
  media::composeAudio(std::move(paths), std::move(output), overlay, std::move(completion));
}

}  // namespace lumewell::pulse
