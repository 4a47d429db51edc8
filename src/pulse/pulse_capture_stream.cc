#include "pulse/pulse_capture_stream.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "pulse/pulse_connection.h"

namespace lumewell::pulse {
namespace {

constexpr std::chrono::milliseconds kStartConnectLimit{2000};

}  // namespace

PulseCaptureStream::PulseCaptureStream(const CaptureOptions& options, std::shared_ptr<PcmSink> sink)
    : options_(options),
      frameBytes_(sizeof(float) * static_cast<size_t>(options.channels)),
      batchFrames_(static_cast<size_t>(options.sampleRate) *
                   static_cast<size_t>(options.fragmentMs) / 1000),
      blockMs_(options.fragmentMs),
      sink_(std::move(sink)) {}

PulseCaptureStream::~PulseCaptureStream() { stop(); }

Result<std::unique_ptr<PulseCaptureStream>> PulseCaptureStream::open(
    const CaptureOptions& options, std::shared_ptr<PcmSink> sink) {
  if (options.channels < 1 || options.channels > 2 || options.sampleRate <= 0 ||
      options.fragmentMs <= 0 || options.blockMs <= 0 || options.cutFragmentMs <= 0) {
    return pulseError(PA_ERR_INVALID);
  }
  auto capture = openOnce(options, sink);
  // A server that restarted a moment ago may still look connected until its hang-up is
  // read; the second attempt runs on a fresh connection.
  if (!capture && capture.error().code == PA_ERR_CONNECTIONTERMINATED) {
    return openOnce(options, std::move(sink));
  }
  return capture;
}

Result<std::unique_ptr<PulseCaptureStream>> PulseCaptureStream::openOnce(
    const CaptureOptions& options, std::shared_ptr<PcmSink> sink) {
  PulseConnection& connection = PulseConnection::shared();
  // A start right after launch finds the launch's connect in progress and waits for it;
  // a local server that has not answered within this is not going to make the recording.
  if (auto error = connection.connect(kStartConnectLimit)) return *error;

  std::unique_ptr<PulseCaptureStream> capture(new PulseCaptureStream(options, std::move(sink)));
  PulseConnection::Lock lock(connection);
  pa_context* context = connection.readyContextLocked();
  if (context == nullptr) return pulseError(PA_ERR_CONNECTIONTERMINATED);

  pa_sample_spec sampleSpec{};
  sampleSpec.format = PA_SAMPLE_FLOAT32NE;
  sampleSpec.rate = static_cast<uint32_t>(options.sampleRate);
  sampleSpec.channels = static_cast<uint8_t>(options.channels);
  pa_channel_map map;
  pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  pa_stream* stream = pa_stream_new_with_proplist(context, options.streamName.c_str(), &sampleSpec,
                                                  &map, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) return pulseError(pa_context_errno(context));
  capture->stream_ = stream;
  pa_stream_set_state_callback(stream, &PulseCaptureStream::onState, capture.get());
  pa_stream_set_read_callback(stream, &PulseCaptureStream::onRead, capture.get());
  pa_stream_set_moved_callback(stream, &PulseCaptureStream::onMoved, capture.get());

  pa_buffer_attr attr;
  std::memset(&attr, 0xff, sizeof attr);  // (uint32_t)-1: the server's choice
  attr.fragsize = static_cast<uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(options.fragmentMs) * PA_USEC_PER_MSEC, &sampleSpec));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
  const char* device = options.device.empty() ? nullptr : options.device.c_str();
  if (pa_stream_connect_record(stream, device, &attr, flags) < 0) {
    Error error = pulseError(pa_context_errno(context));
    capture->closeLocked();
    return error;
  }
  const bool settled = connection.waitLocked([stream] {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  });
  if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
    int code = settled ? pa_context_errno(context) : PA_ERR_TIMEOUT;
    capture->closeLocked();
    return pulseError(code != PA_OK ? code : PA_ERR_UNKNOWN);
  }
  return capture;
}

void PulseCaptureStream::onState(pa_stream* stream, void* self) {
  auto* capture = static_cast<PulseCaptureStream*>(self);
  if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    pa_context* context = pa_stream_get_context(stream);
    const bool serverLost =
        context == nullptr || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
    capture->readAvailableLocked(true);  // what arrived before the end still counts
    capture->serverLost_.store(serverLost, std::memory_order_release);
    capture->ended_.store(true, std::memory_order_release);
  }
  PulseConnection::shared().signalLocked();
}

void PulseCaptureStream::onMoved(pa_stream* stream, void* self) {
  // The source went away (a microphone unplugged) and the server moved the stream to
  // another one: the capture goes on from there.
  auto* capture = static_cast<PulseCaptureStream*>(self);
  const char* device = pa_stream_get_device_name(stream);
  const std::string line = "Lumewell Recorder capture \"" + capture->options_.streamName +
                           "\" moved to the source " + (device != nullptr ? device : "?") + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);  // one write: lines never interleave
  std::fflush(stdout);
  // With no real source left both servers fall back to a dummy device, "auto_null" (PulseAudio's
  // module-always-sink, PipeWire's fallback): its silence is not a recording, so the capture
  // ends there as if no source were left.
  if (device != nullptr && std::string_view(device).starts_with("auto_null")) {
    capture->readAvailableLocked(true);
    capture->ended_.store(true, std::memory_order_release);
    PulseConnection::shared().signalLocked();
  }
}

void PulseCaptureStream::onRead(pa_stream*, size_t readable, void* self) {
  auto* capture = static_cast<PulseCaptureStream*>(self);
  // The server's small pieces wait in libpulse until a whole block is there: each read hands
  // pieces back to the server, which wakes it and then us again.
  if (readable < capture->readBytes_) return;
  capture->readAvailableLocked(false);
}

void PulseCaptureStream::readAvailableLocked(bool flush) {
  if (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY && !ended()) {
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
      const size_t from = pending_.size();
      append(static_cast<const uint8_t*>(data), bytes);
      pa_stream_drop(stream_);
      const size_t frames = (pending_.size() - from) / static_cast<size_t>(options_.channels);
      framesRead_ += static_cast<int64_t>(frames);
      if (sink_ && frames > 0) sink_->arrived(pending_.data() + from, frames);
    }
    fitBlocksToCutLocked();
  }
  // Servers push small pieces (a null sink every 5 ms); handing them on in blocks keeps the
  // worker's wake-ups at the block rate.
  const size_t frames = pending_.size() / static_cast<size_t>(options_.channels);
  if (frames == 0 || (!flush && frames < batchFrames_)) return;
  std::vector<float> block;
  block.swap(pending_);
  pending_.reserve(block.size());
  deliver(std::move(block));
}

void PulseCaptureStream::append(const uint8_t* in, size_t bytes) {
  // A hole in the stream (no data) is silence. A frame the server split waits in split_
  // for its other part.
  auto take = [&](uint8_t* to, size_t count) {
    if (in != nullptr) {
      std::memcpy(to, in, count);
      in += count;
    } else {
      std::memset(to, 0, count);
    }
    bytes -= count;
  };
  if (splitBytes_ > 0) {
    const size_t count = std::min(bytes, frameBytes_ - splitBytes_);
    take(split_.data() + splitBytes_, count);
    splitBytes_ += count;
    if (splitBytes_ < frameBytes_) return;
    const size_t at = pending_.size();
    pending_.resize(at + static_cast<size_t>(options_.channels));
    std::memcpy(pending_.data() + at, split_.data(), frameBytes_);
    splitBytes_ = 0;
  }
  if (const size_t whole = bytes / frameBytes_; whole > 0) {
    const size_t at = pending_.size();
    pending_.resize(at + whole * static_cast<size_t>(options_.channels));
    take(reinterpret_cast<uint8_t*>(pending_.data() + at), whole * frameBytes_);
  }
  splitBytes_ = bytes;
  take(split_.data(), bytes);
}

void PulseCaptureStream::fitBlocksToCutLocked() {
  // Short from a second before a cut until a quarter second after it: the file before the
  // cut is complete once the encoder has frames past it.
  const int64_t cut = sink_ ? sink_->nextCutFrame() : -1;
  if (cut != watchedCut_) {
    if (watchedCut_ >= 0) shortUntil_ = watchedCut_ + options_.sampleRate / 4;
    watchedCut_ = cut;
  }
  const bool nearCut =
      (cut >= 0 && framesRead_ + options_.sampleRate >= cut) || framesRead_ < shortUntil_;
  const bool starting = framesRead_ < options_.sampleRate / 2;
  const int ms = nearCut    ? options_.cutFragmentMs
                 : starting ? options_.fragmentMs
                            : options_.blockMs;
  if (ms == blockMs_) return;
  const int fragmentMs = std::min(ms, options_.fragmentMs);
  const bool refit = std::min(blockMs_, options_.fragmentMs) != fragmentMs;
  blockMs_ = ms;
  batchFrames_ = static_cast<size_t>(options_.sampleRate) * static_cast<size_t>(ms) / 1000;
  readBytes_ = batchFrames_ * frameBytes_;
  if (!refit) return;
  pa_buffer_attr attr;
  std::memset(&attr, 0xff, sizeof attr);
  attr.fragsize = static_cast<uint32_t>(static_cast<size_t>(options_.sampleRate) *
                                        static_cast<size_t>(fragmentMs) / 1000 * frameBytes_);
  // Harmless when refused: the blocks keep their size and a cut waits up to one block longer.
  if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
}

void PulseCaptureStream::deliver(std::vector<float> block) {
  worker_.post([this, block = std::move(block)] {
    if (sink_) sink_->consume(block.data(), block.size() / static_cast<size_t>(options_.channels));
  });
}

void PulseCaptureStream::closeLocked() {
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_moved_callback(stream_, nullptr, nullptr);
  if (pa_stream_get_state(stream_) == PA_STREAM_READY ||
      pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
    pa_stream_disconnect(stream_);
  }
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseCaptureStream::stop() {
  {
    PulseConnection& connection = PulseConnection::shared();
    PulseConnection::Lock lock(connection);
    if (stream_ != nullptr) {
      readAvailableLocked(true);
      closeLocked();
    }
  }
  worker_.drain();
}

}  // namespace lumewell::pulse
