#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app_audio/process_table.h"
#include "pulse/pulse_connection.h"
#include "runtime/error.h"

namespace lumewell::app_audio {

// The libpulse side of an application capture: records every playback stream of one
// process (and of its same-program helpers) through its sink's monitor on the host's one
// sound-server connection, follows a stream that moves to another sink, and watches the
// process exit. Everything below open() runs on the libpulse thread with the connection's
// lock held; the callbacks run there too, so they must only queue work.
class ApplicationStreamTap final : public pulse::PulseConnection::Watcher {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kChannels = 2;

  struct Callbacks {
    // Interleaved stereo float frames of one record stream; arrivalUs is
    // g_get_monotonic_time() when they were read.
    std::function<void(uint64_t stream, int64_t arrivalUs, std::vector<float> pcm)> audio;
    // The record stream delivers no more (its playback stream ended or moved).
    std::function<void(uint64_t stream)> ended;
    // The process exited or the connection to the server was lost; at most once.
    std::function<void(std::string reason)> lost;
  };

  ApplicationStreamTap(int32_t processId, std::shared_ptr<const ProcessTable> processes,
                       Callbacks callbacks);
  ~ApplicationStreamTap() override;
  ApplicationStreamTap(const ApplicationStreamTap&) = delete;
  ApplicationStreamTap& operator=(const ApplicationStreamTap&) = delete;

  // Connects (bounded), starts recording the application's current streams and watches for
  // new ones and for the process's exit. Not on the libpulse thread.
  OptionalError open();
  // Stops every record stream and cancels every request in flight: no callback runs once
  // this returns. Idempotent; any thread but the libpulse one.
  void close();

  // pulse::PulseConnection::Watcher
  void onPlaybackStreamEvent(pa_subscription_event_type_t type, uint32_t index) override;
  void onConnectionLost(int paError) override;

 private:
  struct Capture {
    pa_stream* stream = nullptr;
    uint64_t id = 0;
    uint32_t sink = PA_INVALID_INDEX;
  };
  // A lookup in flight, freed when answered or at close().
  struct Request {
    ApplicationStreamTap* tap;
    uint32_t sinkInput;
    uint32_t sink;
  };

  void watchProcessExit();
  void track(pa_operation* operation);
  void lookUpPlayback(uint32_t sinkInput);
  void capturePlayback(uint32_t sinkInput, uint32_t sink);
  void createCapture(uint32_t sinkInput, uint32_t sink, uint32_t monitorSource);
  void endCapture(uint32_t sinkInput);
  uint32_t sinkInputOf(pa_stream* stream, uint64_t* id) const;
  void reportLost(std::string reason);

  static void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self);
  static void onClientInfo(pa_context*, const pa_client_info* info, int eol, void* request);
  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* request);
  static void onStreamState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, size_t, void* self);
  static void onProcessExit(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self);
  static void onExitPoll(pa_mainloop_api*, pa_time_event*, const timeval*, void* self);

  const int32_t processId_;
  const std::shared_ptr<const ProcessTable> processes_;
  const Callbacks callbacks_;
  pulse::PulseConnection& connection_;

  std::mutex openMutex_;  // open() against close()
  bool closed_ = false;
  bool watching_ = false;
  // With the connection's lock held:
  bool lostReported_ = false;
  std::map<uint32_t, Capture> captures_;  // by playback stream (sink input) index
  uint64_t nextCaptureId_ = 1;
  std::list<Request> requests_;
  std::vector<pa_operation*> inFlight_;
  int pidfd_ = -1;
  pa_io_event* exitWatch_ = nullptr;
  pa_time_event* exitPoll_ = nullptr;
};

}  // namespace lumewell::app_audio
