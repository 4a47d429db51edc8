#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/serial_executor.h"

struct pa_stream;

namespace lumewell::pulse {

// Where a capture stream's PCM goes: interleaved float32 frames, delivered in capture order
// on the stream's worker thread (never on the sound server's thread).
class PcmSink {
 public:
  virtual ~PcmSink() = default;
  virtual void consume(const float* interleaved, size_t frames) = 0;
  // The same PCM as it arrives, on the server's thread, before it is gathered into blocks:
  // cheap work that must keep up with the audio (the level meter). Never waits.
  virtual void arrived(const float* /*interleaved*/, size_t /*frames*/) {}
  // The frame of the capture at which the next cut is due (-1: none), read on the server's
  // thread: the capture asks for short blocks from a second before it.
  virtual int64_t nextCutFrame() const { return -1; }
};

struct CaptureOptions {
  int sampleRate = 48000;
  // 1 or 2. The server converts the source to this layout (a mono source fills both channels).
  int channels = 1;
  // Source name; empty for the server's default source.
  std::string device;
  // What the server is asked to push at (servers default to ~2 s blocks): what it still holds
  // when the stream stops is not captured, so this stays short.
  int fragmentMs = 100;
  // What the worker is handed at a time. Each block wakes it, so blocks are long: short
  // (cutFragmentMs) in the second before a cut, which waits for its frame, and fragmentMs
  // while a run starts, which waits for its first audio.
  int blockMs = 250;
  int cutFragmentMs = 20;
  std::string streamName = "Microphone";
};

// A record stream on the sound server that hands its PCM to a sink on a worker thread. The
// sink can be replaced while the stream runs without losing or repeating a sample, so one
// capture can feed a chain of files.
class PulseCaptureStream {
 public:
  // Connects to the server if needed, opens the stream and waits (bounded) until it runs.
  static Result<std::unique_ptr<PulseCaptureStream>> open(const CaptureOptions& options,
                                                          std::shared_ptr<PcmSink> sink);
  ~PulseCaptureStream();
  PulseCaptureStream(const PulseCaptureStream&) = delete;
  PulseCaptureStream& operator=(const PulseCaptureStream&) = delete;

  // Takes what the server has already delivered, closes the stream and returns once the sink
  // has consumed every block. Idempotent; safe after the server went away.
  void stop();

  // Set when the server ended the stream by itself (server gone, no source left to move to).
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // Whether that end came with the loss of the connection to the server.
  bool serverLost() const { return serverLost_.load(std::memory_order_acquire); }
  const CaptureOptions& options() const { return options_; }

 private:
  PulseCaptureStream(const CaptureOptions& options, std::shared_ptr<PcmSink> sink);
  static Result<std::unique_ptr<PulseCaptureStream>> openOnce(const CaptureOptions& options,
                                                              std::shared_ptr<PcmSink> sink);
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onMoved(pa_stream* stream, void* self);
  // Reads what the server delivered; hands it on once a fragment's worth is there, or all
  // of it with flush.
  void readAvailableLocked(bool flush);
  // Asks for short blocks near a cut and long ones elsewhere.
  void fitBlocksToCutLocked();
  // Adds bytes from the server (nullptr: a hole, silence) to pending_.
  void append(const uint8_t* in, size_t bytes);
  void deliver(std::vector<float> block);
  void closeLocked();

  CaptureOptions options_;
  size_t frameBytes_;
  pa_stream* stream_ = nullptr;
  size_t batchFrames_;
  int64_t framesRead_ = 0;          // from the server, on its thread
  int blockMs_ = 0;                 // the block size chosen last
  size_t readBytes_ = 0;            // what the server delivered is read a block at a time
  int64_t watchedCut_ = -1;         // the cut nextCutFrame() answered last
  int64_t shortUntil_ = 0;          // short blocks until this frame, past the last cut
  std::vector<float> pending_;      // whole frames read from the server, not yet handed on
  std::array<uint8_t, 8> split_{};  // the start of a frame the server split
  size_t splitBytes_ = 0;
  std::atomic<bool> ended_{false};
  std::atomic<bool> serverLost_{false};
  // Consumes on the worker; asked for its next cut on the server's thread.
  std::shared_ptr<PcmSink> sink_;
  // Declared last: destroyed first, so queued deliveries finish while the sink still exists.
  SerialExecutor worker_{"lumewell-pcm"};
};

}  // namespace lumewell::pulse
