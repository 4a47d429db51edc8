#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "media/audio_decoder.h"
#include "media/compose_test_files.h"
#include "media/media_probe.h"

namespace lumewell::media {
namespace {

using namespace compose_test;

// A loopback socket that listens and never accepts: a connection made to it stays in its
// queue, so after the calls under test one non-blocking accept shows whether any was made.
struct LoopbackListener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  std::string url;
  LoopbackListener() {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd, 16), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~LoopbackListener() { close(fd); }
  bool contacted() const {
    const int connection = accept(fd, nullptr, nullptr);
    if (connection >= 0) close(connection);
    return connection >= 0;
  }
};

TEST(MediaPathsTest, OnlyAbsoluteLocalRegularMp4FilesAreOpenedAndNothingElseIsContacted) {
  TempDir dir;
  LoopbackListener listener;
  const std::string good = dir.path() + "/good.m4a";
  writeToneFile(good, 1, 0, 4800);
  const std::string fifo = dir.path() + "/fifo.m4a";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string wav = dir.path() + "/wav.m4a";  // a WAV file under an .m4a name
  ffmpeg("-f lavfi -i sine=d=1 -f wav " + wav);

  // URLs, protocol prefixes and relative names, a FIFO (opening it would wait for a writer)
  // and a device: refused without being opened.
  for (const std::string& path :
       {listener.url + "/in.m4a", "concat:" + good + "|" + good, "file:" + good,
        std::string("good.m4a"), fifo, std::string("/dev/zero")}) {
    Result<std::unique_ptr<AudioDecoder>> decoder = AudioDecoder::open(path);
    ASSERT_FALSE(decoder.ok()) << path;
    EXPECT_EQ(decoder.error().domain, "posix") << path;
    EXPECT_EQ(decoder.error().localizedDescription.rfind("Refused to read " + path + ": ", 0), 0u)
        << decoder.error().localizedDescription;
    EXPECT_FALSE(mediaDurationMs(path)) << path;
    EXPECT_FALSE(hasAudioTrack(path)) << path;
  }
  EXPECT_NE(AudioDecoder::open(fifo).error().localizedDescription.find("it is a FIFO"),
            std::string::npos);
  // Only the MP4 demuxer reads: a WAV file is no media here, the MP4 next to it is.
  Result<std::unique_ptr<AudioDecoder>> notMp4 = AudioDecoder::open(wav);
  ASSERT_TRUE(notMp4.ok());
  EXPECT_EQ(notMp4->get(), nullptr);
  EXPECT_FALSE(mediaDurationMs(wav));
  Result<std::unique_ptr<AudioDecoder>> mp4 = AudioDecoder::open(good);
  ASSERT_TRUE(mp4.ok() && *mp4);

  // Outputs: a URL, a FIFO, a device are refused by the writer; a join refuses a URL output
  // and an input that is not a local path, and writes nothing.
  for (const std::string& path : {listener.url + "/x.m4a", fifo, std::string("/dev/null")}) {
    auto writer = AacFileWriter::create(path, {});
    ASSERT_FALSE(writer.ok()) << path;
    EXPECT_EQ(writer.error().localizedDescription.rfind("Refused to write " + path + ": ", 0), 0u)
        << writer.error().localizedDescription;
  }
  const std::string out = dir.path() + "/out.m4a";
  for (const auto& [inputs, output] : {std::pair{std::vector{good, good}, listener.url + "/x.m4a"},
                                       std::pair{std::vector{good, "concat:" + good}, out}}) {
    OptionalError error = compose(inputs, output).error;
    ASSERT_TRUE(error) << output;
    EXPECT_EQ(error->domain, "posix");
  }
  EXPECT_FALSE(std::filesystem::exists(out));

  EXPECT_FALSE(listener.contacted());
}

TEST(MediaPathsTest, DecodingIsBoundedByTheDeclaredFormatAndDuration) {
  TempDir dir;
  // 1 Hz (each frame would be resampled 48000-fold), 4 kHz, and 16 channels: refused.
  const std::string oneHz = dir.path() + "/one-hz.mov";
  ffmpeg("-f lavfi -i sine=r=8000:d=1,asetrate=1 -c:a pcm_s16le " + oneHz);
  const std::string low = dir.path() + "/low.mov";
  ffmpeg("-f lavfi -i sine=r=4000:d=1 -c:a pcm_s16le " + low);
  const std::string wide = dir.path() + "/wide.mov";
  ffmpeg("-f lavfi -i sine=d=1 -af aformat=channel_layouts=hexadecagonal -c:a pcm_s16le " + wide);
  for (const auto& [path, what] :
       {std::pair{oneHz, "1 Hz"}, std::pair{low, "4000 Hz"}, std::pair{wide, "16 channels"}}) {
    Result<std::unique_ptr<AudioDecoder>> decoder = AudioDecoder::open(path);
    ASSERT_FALSE(decoder.ok()) << path;
    EXPECT_NE(decoder.error().localizedDescription.find(what), std::string::npos)
        << decoder.error().localizedDescription;
  }

  // A track whose header declares a quarter of the audio it holds ends at the declared length.
  const std::string whole = dir.path() + "/whole.m4a";
  writeToneFile(whole, 1, 0, 96000);
  std::string bytes = readFile(whole);
  const size_t mdhd = bytes.find("mdhd");
  ASSERT_NE(mdhd, std::string::npos);
  ASSERT_EQ(bytes[mdhd + 4], 0);  // version 0: 32-bit fields, the duration 20 bytes on
  uint32_t duration = 0;
  for (int i = 0; i < 4; ++i) duration = duration << 8 | uint8_t(bytes[mdhd + 20 + i]);
  for (int i = 3; i >= 0; --i) bytes[mdhd + 20 + i] = char(duration / 4 >> (8 * (3 - i)));
  const std::string shortened = dir.path() + "/shortened.m4a";
  std::ofstream(shortened, std::ios::binary) << bytes;
  Result<std::unique_ptr<AudioDecoder>> decoder = AudioDecoder::open(shortened);
  ASSERT_TRUE(decoder.ok() && *decoder);
  const int64_t declared = (*decoder)->info().durationFrames;
  EXPECT_LE(declared, 24000 + 2048);
  EXPECT_EQ(static_cast<int64_t>(readAll(**decoder).size()), declared);
}

}  // namespace
}  // namespace lumewell::media
