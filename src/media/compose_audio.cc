#include "media/compose_audio.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "media/aac_file_writer.h"
#include "media/audio_decoder.h"
#include "media/compose_sources.h"
#include "media/local_media_path.h"
#include "media/segment_remux.h"
#include "runtime/files.h"

namespace lumewell::media {

Error compositionError(int code, const std::string& path) {
  switch (code) {
    case kAudioTrackMissing:
      return programError(code, "Audio track missing for segment " + path + ".");
    case kCompositionTrackFailed:
      return programError(code, "Failed to create the audio composition track.");
    case kExporterFailed:
      return programError(code, "Failed to create the audio exporter.");
    case kCompositionCancelled:
      return programError(code, "Recording assembly was cancelled.");
    default:
      return programError(kCompositionUnexpected,
                          "Recording assembly ended in an unexpected state.");
  }
}

namespace {

constexpr size_t kChunkFrames = 8192;

class Job final : public CompositionJob {
 public:
  void cancel() override { cancelled_.store(true); }
  bool cancelled() const { return cancelled_.load(); }

 private:
  std::atomic<bool> cancelled_{false};
};

// The compositions still running; a job leaves it once its completion has returned.
class Registry {
 public:
  static Registry& instance() {
    static Registry* registry = new Registry;  // never destroyed: workers may outlive main
    return *registry;
  }

  void add(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(mutex_);
    jobs_.insert(job);
  }

  void remove(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(mutex_);
    jobs_.erase(job);
    ended_.notify_all();
  }

  void cancelAllAndWait(const Job* self) {
    std::unique_lock lock(mutex_);
    for (const auto& job : jobs_) job->cancel();
    // A completion that calls this must not wait for its own job.
    ended_.wait(
        lock, [&] { return jobs_.empty() || (jobs_.size() == 1 && jobs_.begin()->get() == self); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  std::set<std::shared_ptr<Job>> jobs_;
};

thread_local const Job* currentJob = nullptr;

// The file is written under a hidden name beside the output and renamed into place once it
// is complete, so the output path never shows a half-written file, whatever happens.
std::string temporaryPathFor(const std::filesystem::path& output) {
  static std::atomic<unsigned> counter{0};
  std::string name = "." + output.filename().string() + ".composing-" + std::to_string(getpid()) +
                     "-" + std::to_string(counter.fetch_add(1)) + ".m4a";
  return (output.parent_path() / name).string();
}

// Removes what a process that died while composing to this output left behind: its hidden
// file beside the output, named with that process's id.
void removeStaleTemporaries(const std::filesystem::path& output) {
  const std::string prefix = "." + output.filename().string() + ".composing-";
  std::error_code ec;
  const std::filesystem::path parent =
      output.parent_path().empty() ? std::filesystem::path(".") : output.parent_path();
  for (std::filesystem::directory_iterator it(parent, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      unlink(it->path().c_str());
    }
  }
}

OptionalError prepareOutput(const std::vector<std::string>& paths, const std::string& output) {
  if (auto reason = nonLocalPathReason(output)) {
    return Error{"posix", EINVAL, "Refused to write " + output + ": " + *reason + "."};
  }
  struct stat outputStat {};
  if (lstat(output.c_str(), &outputStat) == 0) {
    // Replacing the output must never destroy an input.
    for (const std::string& path : paths) {
      struct stat inputStat {};
      if (stat(path.c_str(), &inputStat) == 0 && inputStat.st_dev == outputStat.st_dev &&
          inputStat.st_ino == outputStat.st_ino) {
        return posixError(EINVAL, "The output " + output + " is one of the inputs");
      }
    }
    if (unlink(output.c_str()) != 0) return posixError(errno, "Cannot remove " + output);
  } else if (errno != ENOENT) {
    return posixError(errno, "Cannot examine " + output);
  }
  const std::filesystem::path parent = std::filesystem::path(output).parent_path();
  if (!parent.empty()) {
    if (auto error = createDirectories(parent.string())) return error;
  }
  removeStaleTemporaries(output);
  return std::nullopt;
}

// Moves a complete temporary file into place, unless the job was cancelled meanwhile.
OptionalError publish(const std::string& temporary, const std::string& output, const Job& job) {
  // On the disk before it takes the output's name, and the name on the disk before the
  // answer: a power cut never leaves a half file at the output.
  OptionalError error =
      job.cancelled() ? compositionError(kCompositionCancelled) : syncFile(temporary);
  if (!error && rename(temporary.c_str(), output.c_str()) != 0) {
    error = posixError(errno, "Cannot move the finished file to " + output);
  }
  if (error) {
    unlink(temporary.c_str());
    return error;
  }
  return syncFolderOf(output);
}

OptionalError encode(PcmSource& source, const std::string& output, int bitRate, const Job& job) {
  AacWriterSettings settings;
  settings.sampleRate = kComposeSampleRate;
  settings.channels = source.channels();
  settings.bitRate = bitRate;
  settings.fastStart = true;
  const std::string temporary = temporaryPathFor(output);
  Result<std::unique_ptr<AacFileWriter>> created = AacFileWriter::create(temporary, settings);
  if (!created) return created.error();
  AacFileWriter& writer = **created;

  std::vector<float> chunk(kChunkFrames * static_cast<size_t>(settings.channels));
  OptionalError error;
  // A read shorter than a chunk is the end.
  for (size_t got = kChunkFrames; got == kChunkFrames && !error;) {
    if (job.cancelled()) {
      error = compositionError(kCompositionCancelled);
    } else if (Result<size_t> read = source.read(chunk.data(), kChunkFrames); !read) {
      error = read.error();
    } else if ((got = *read) > 0) {
      error = writer.write(chunk.data(), got);
    }
  }
  if (!error) error = writer.finish();
  if (error) {
    writer.cancel();  // removes the temporary file, finished or not
    return error;
  }
  return publish(temporary, output, job);
}

OptionalError compose(const std::vector<std::string>& paths, const std::string& output,
                      const Job& job) {
  if (job.cancelled()) return compositionError(kCompositionCancelled);
  if (OptionalError error = prepareOutput(paths, output)) return error;

  // The files of one recorded run join by their packets (which proves each has its audio
  // track); anything else is looked at and re-encoded below.
  const std::string temporary = temporaryPathFor(output);
  Result<bool> remuxed = remuxRun(paths, temporary, [&job] { return job.cancelled(); });
  if (!remuxed) return remuxed.error();
  if (*remuxed) return publish(temporary, output, job);
  if (job.cancelled()) return compositionError(kCompositionCancelled);

  // Every input is looked at before anything is encoded, so a missing track fails at once.
  std::vector<std::string> sequence;
  bool allMono = true;
  for (const std::string& path : paths) {
    if (job.cancelled()) return compositionError(kCompositionCancelled);
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    if (!opened) return opened.error();
    if (!*opened) return compositionError(kAudioTrackMissing, path);
    if ((*opened)->info().channels != 1) allMono = false;
    sequence.push_back(path);  // reopened in turn: hundreds of inputs cost one decoder
  }
  // Nothing to export without inputs, and no export without an AAC encoder.
  if (sequence.empty() || !avcodec_find_encoder(AV_CODEC_ID_AAC)) {
    return compositionError(kExporterFailed);
  }
  const int bitRate = allMono ? 128000 : 192000;
  std::unique_ptr<PcmSource> source = makeSequenceSource(std::move(sequence), allMono ? 1 : 2);
  if (!source) return compositionError(kCompositionTrackFailed);
  auto prefetching = makePrefetchingSource(std::move(source), kChunkFrames);
  return encode(*prefetching, output, bitRate, job);
}

void runJob(const std::shared_ptr<Job>& job, const std::vector<std::string>& paths,
            const std::string& output, const CompositionCompletion& completion) {
  currentJob = job.get();
  OptionalError result;
  try {
    result = compose(paths, output, *job);
  } catch (...) {
    result = compositionError(kCompositionUnexpected);
  }
  if (completion) completion(std::move(result));
  currentJob = nullptr;
  Registry::instance().remove(job);
}

}  // namespace

std::shared_ptr<CompositionJob> composeAudio(std::vector<std::string> paths, std::string output,
                                             CompositionCompletion completion) {
  auto job = std::make_shared<Job>();
  Registry::instance().add(job);
  try {
    std::thread([job, paths = std::move(paths), output = std::move(output), completion]() mutable {
      runJob(job, paths, output, completion);
    }).detach();
  } catch (const std::system_error&) {
    // No worker could be started: the one completion comes from here instead.
    Registry::instance().remove(job);
    if (completion) completion(compositionError(kCompositionUnexpected));
  }
  return job;
}

void cancelAllCompositions() { Registry::instance().cancelAllAndWait(currentJob); }

}  // namespace lumewell::media
