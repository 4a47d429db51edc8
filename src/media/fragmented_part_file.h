#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/error.h"

struct AVCodecParameters;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace lumewell::media {

// The growing, crash-safe form of a segment: a fragmented MP4 that gets a fragment at each
// flushFragment(), on the disk (fdatasync) before the call returns, so a crash or a power cut
// costs only what came after the last fragment. Not thread-safe.
class FragmentedPartFile {
 public:
  // Creates the file (0600, never over an existing one); nothing is written yet.
  static Result<std::unique_ptr<FragmentedPartFile>> create(const std::string& path);
  ~FragmentedPartFile();
  FragmentedPartFile(const FragmentedPartFile&) = delete;
  FragmentedPartFile& operator=(const FragmentedPartFile&) = delete;

  // Writes the header; before the first packet.
  [[nodiscard]] OptionalError begin(const AVCodecParameters& codec, int sampleRate,
                                    const std::vector<std::pair<std::string, std::string>>& tags);
  bool begun() const { return format_ != nullptr; }
  // Adds a packet to the open fragment; pts counts samples from the file's first stored one.
  [[nodiscard]] OptionalError write(const AVPacket& packet, int64_t pts);
  // Ends the open fragment and puts it on the disk.
  [[nodiscard]] OptionalError flushFragment();
  // Cuts the file back to what the last flushFragment() put on the disk, for a file that is
  // to be used as it stands.
  [[nodiscard]] OptionalError truncateToLastFragment();
  // Bytes of the file on the disk as of the last flushFragment().
  int64_t durableBytes() const { return durableBytes_; }
  const std::string& path() const { return path_; }

 private:
  FragmentedPartFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::string path_;
  int fd_ = -1;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
  AVPacket* scratch_ = nullptr;
  int64_t durableBytes_ = 0;
  bool folderSynced_ = false;
  bool pending_ = false;  // packets in the open fragment
};

// Where the fragments of an MP4 file that are whole on the disk end: the end of its last
// complete top-level box that is media data ("mdat") after a fragment header, or of the
// header itself; 0 when not even the header is whole. A crash leaves at most one torn
// fragment behind, which this leaves out.
Result<int64_t> lastWholeFragmentEnd(const std::string& path);

}  // namespace lumewell::media
