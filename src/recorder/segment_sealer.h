#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "channels/value.h"
#include "recorder/audio_services.h"
#include "runtime/scheduler.h"

namespace lumewell::recorder {

// Makes a segment's file into what the Dart side is told of: a finished segment's file is on
// the disk with its name in the folder, measured and hashed, before "segment_sealed" goes out;
// a segment a crash interrupted is made into its file (never replacing one) and reported as
// "segment_recovered" with the same keys. A file that does not play is never reported.
// Main thread, and so are the reports; recoverAllInBackground() recovers on a worker of its
// own, which the destructor waits for.
class SegmentSealer : public std::enable_shared_from_this<SegmentSealer> {
 public:
  using Report = std::function<void(ValueMap event)>;

  // sealed gets "segment_sealed", recovered "segment_recovered".
  SegmentSealer(Scheduler& scheduler, std::shared_ptr<AudioServices> audio, Report sealed,
                Report recovered);
  ~SegmentSealer();
  SegmentSealer(const SegmentSealer&) = delete;
  SegmentSealer& operator=(const SegmentSealer&) = delete;

  // The finished segment `index` at path, of `channels`, that began at startedAt.
  [[nodiscard]] OptionalError seal(int64_t index, const std::string& path, int channels,
                                   TimePoint startedAt);
  // Every interrupted segment of one recording's folder, before it records there again.
  void recover(const std::string& recordingId);
  // Every interrupted segment of every recording, once per launch, off the main thread.
  void recoverAllInBackground();

 private:
  Scheduler& scheduler_;
  std::shared_ptr<AudioServices> audio_;
  Report sealed_;
  Report recovered_;
  std::thread worker_;
};

}  // namespace lumewell::recorder
