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
#include "media/sha256.h"

// Reading files: the decoder, the duration probe, the paths both accept, the digest.

namespace lumewell::media {
namespace {

using namespace compose_test;

// A loopback socket that listens and never accepts: a connection made to it stays in its
// queue, so after the calls under test one non-blocking accept shows whether any was made.
struct LoopbackListener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  LoopbackListener() {
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd, 16), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~LoopbackListener() { close(fd); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)); }
  bool contacted() const {
    const int connection = accept(fd, nullptr, nullptr);
    if (connection >= 0) close(connection);
    return connection >= 0;
  }
};

// Foreign and damaged files end cleanly; URLs, protocol prefixes, relative names, a FIFO
// (opening it would wait for a writer) and a device are refused without being opened; nothing
// is contacted.
TEST(MediaPathsTest, OnlyAbsoluteLocalRegularMp4FilesAreOpenedAndNothingElseIsContacted) {
  TempDir dir;
  LoopbackListener listener;
  const std::string tone = dir.path() + "/tone.m4a", cut = dir.path() + "/cut.m4a";
  ffmpeg("-f lavfi -i sine=f=1000:r=48000:d=3 -ac 2 -c:a aac -movflags +faststart " + tone);
  // The index is in front: cutting the file short leaves an index promising missing data.
  const std::string whole = readFile(tone);
  std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() / 2);
  auto decoder = AudioDecoder::open(cut);
  ASSERT_TRUE(decoder.ok() && *decoder);
  EXPECT_LE(readAll(**decoder).size(), 2u * 48000 * 3);

  // Not media, cut to its first 40 bytes, a WAV file under an .m4a name (only the MP4 demuxer
  // reads), not there, a folder: no audio track, no duration, no error.
  const std::string text = dir.path() + "/text.m4a", stub = dir.path() + "/stub.m4a";
  const std::string wav = dir.path() + "/wav.m4a", fifo = dir.path() + "/fifo.m4a";
  std::ofstream(text) << "hello";
  std::ofstream(stub, std::ios::binary) << whole.substr(0, 40);
  ffmpeg("-f lavfi -i sine=d=1 -f wav " + wav);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> paths = {text, stub, wav, dir.path() + "/absent.m4a", dir.path(),
                                          // refused from here on
                                          listener.url() + "/in.m4a", "concat:" + tone + "|" + tone,
                                          "file:" + tone, "tone.m4a", fifo, "/dev/zero"};
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string& path = paths[i];
    SCOPED_TRACE(path);
    Result<std::unique_ptr<AudioDecoder>> opened = AudioDecoder::open(path);
    const std::string refusal = "Refused to read " + path + ": ";
    if (i < 5) {
      ASSERT_TRUE(opened.ok());
      EXPECT_EQ(opened->get(), nullptr);
    } else {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().domain + " " +
                    opened.error().localizedDescription.substr(0, refusal.size()),
                "posix " + refusal);
    }
    EXPECT_FALSE(mediaDurationMs(path));
    EXPECT_FALSE(hasAudioTrack(path));
    EXPECT_FALSE(probeAudio(path));
  }
  EXPECT_NE(AudioDecoder::open(fifo).error().localizedDescription.find("it is a FIFO"),
            std::string::npos);
  decoder = AudioDecoder::open(tone);  // what is refused above
  ASSERT_TRUE(decoder.ok() && *decoder);
  // Outputs: a URL, a FIFO, a device are refused by the writer; a join refuses a URL output
  // and an input that is not a local path, and writes nothing.
  for (const std::string& path : {listener.url() + "/x.m4a", fifo, std::string("/dev/null")}) {
    auto writer = AacFileWriter::create(path, {});
    const std::string refusal = "Refused to write " + path + ": ";
    ASSERT_FALSE(writer.ok()) << path;
    EXPECT_EQ(writer.error().localizedDescription.substr(0, refusal.size()), refusal);
  }
  const std::string out = dir.path() + "/out.m4a";
  EXPECT_EQ(compose({tone, tone}, listener.url() + "/x.m4a").error.value_or(Error{}).domain,
            "posix");
  EXPECT_EQ(compose({tone, "concat:" + tone}, out).error.value_or(Error{}).domain, "posix");
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(listener.contacted());
}

// Other rates and layouts arrive at 48 kHz, mono or stereo, at their level and pitch; 1 Hz
// (each frame would be resampled 48000-fold), 4 kHz and 16 channels are refused.
TEST(AudioDecoderTest, DecodingIsBoundedByTheDeclaredFormatAndDuration) {
  TempDir dir;
  const struct {
    std::string source, what;
    int channels = 0;
    size_t frames = 0;
  } cases[] = {
      {"sine=f=1000:r=44100:d=2 -c:a aac", "mono", 1, 96000},
      {"sine=f=1000:r=32000:d=1 -af 'pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0' -c:a aac", "5.1",
       2, 48000},
      {"sine=r=8000:d=1,asetrate=1 -c:a pcm_s16le", "1 Hz"},
      {"sine=r=4000:d=1 -c:a pcm_s16le", "4000 Hz"},
      {"sine=d=1 -af aformat=channel_layouts=hexadecagonal -c:a pcm_s16le", "16 channels"},
  };
  for (const auto& [source, what, channels, frames] : cases) {
    const std::string path = dir.path() + "/" + what + ".mov";
    ffmpeg("-f lavfi -i " + source + " '" + path + "'");
    Result<std::unique_ptr<AudioDecoder>> decoder = AudioDecoder::open(path);
    if (channels == 0) {
      ASSERT_FALSE(decoder.ok()) << path;
      EXPECT_NE(decoder.error().localizedDescription.find(what), std::string::npos)
          << decoder.error().localizedDescription;
      continue;
    }
    ASSERT_TRUE(decoder.ok() && *decoder) << path;
    EXPECT_EQ((*decoder)->info().channels, channels);
    EXPECT_EQ((*decoder)->info().durationFrames, int64_t(frames));
    std::vector<float> x = readAll(**decoder);
    EXPECT_EQ(x.size(), channels * frames);
    // ffmpeg's sine source has amplitude 1/8.
    if (channels == 1) {
      EXPECT_NEAR(fitTone(x, 24000, 72000, 1000, 0.125).amplitude, 0.125, 0.005);
    }
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

// The empty file, and one larger than a read block holding every byte value, against the
// system's tool.
TEST(Sha256Test, DigestsOfWholeFilesAndMissingFiles) {
  TempDir dir;
  lumewell::testing::writeFile(dir.path() + "/empty", "");
  EXPECT_EQ(sha256FileHex(dir.path() + "/empty").value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
  const std::string bigPath = dir.path() + "/big";
  lumewell::testing::writeFile(bigPath, big);
  ASSERT_TRUE(sha256FileHex(bigPath));
  EXPECT_EQ(sha256FileHex(bigPath).value(),
            commandOutput("sha256sum '" + bigPath + "'").substr(0, 64));

  auto missing = sha256FileHex(dir.path() + "/missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, "posix");
  EXPECT_NE(missing.error().localizedDescription.find("/missing"), std::string::npos);
  EXPECT_FALSE(sha256FileHex(dir.path())) << "a folder is not a file";
}

}  // namespace
}  // namespace lumewell::media
