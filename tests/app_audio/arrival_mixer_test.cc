#include "app_audio/arrival_mixer.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace lumewell::app_audio {
namespace {

TEST(ArrivalMixer, PlacesStreamsByArrivalAndSums) {
  ArrivalMixer m(1);
  std::vector<float> out, a(100, 0.25f), b(50, 0.5f);
  EXPECT_EQ(m.takeReady(1000, out), 0u);  // nothing heard yet: no time line
  m.add(1, 1100, a.data(), a.size());     // frames 1000..1099
  EXPECT_EQ(std::pair(m.started(), m.firstFrame()), std::pair(true, int64_t{1000}));
  m.add(2, 1100, b.data(), b.size());  // frames 1050..1099
  ASSERT_EQ(m.takeAll(out), 100u);
  EXPECT_EQ(std::tuple(out.size(), out[0], out[49], out[50], out[99]),
            std::tuple(100u, 0.25f, 0.25f, 0.75f, 0.75f));
}

TEST(ArrivalMixer, LiveStreamsHoldBackUntilTheHorizon) {
  ArrivalMixer m(1);
  std::vector<float> out, a(100, 0.1f);
  m.add(1, 100, a.data(), a.size());    // 0..99
  m.add(2, 60, a.data(), 60);           // 0..59
  EXPECT_EQ(m.takeReady(0, out), 60u);  // stream 2 may still add from 60 on
  m.endStream(2);
  EXPECT_EQ(m.takeReady(0, out), 40u);
  // Stream 3 starts later (silence before it); stream 1 goes on at its own count.
  m.add(3, 300, a.data(), 100);  // 200..299
  m.add(1, 400, a.data(), 100);  // 100..199: 200 frames behind its arrival is no resync
  out.clear();
  // Stream 1 can still add from 200 on, but the horizon (250) lets older frames go.
  EXPECT_EQ(m.takeReady(250, out), 150u);
  EXPECT_EQ(std::pair(out[0], out[149]), std::pair(0.1f, 0.1f));
}

TEST(ArrivalMixer, ResyncsAStreamThatFellBehindAndDropsLateFrames) {
  ArrivalMixer m(2);
  std::vector<float> out, a(200, 0.5f);  // 100 stereo frames
  m.add(1, 100, a.data(), 100);          // 0..99
  EXPECT_EQ(m.takeAll(out), 100u);
  // Late by less than the resync threshold (a busy machine): still contiguous.
  m.add(1, 40000, a.data(), 100);  // 100..199
  out.clear();
  EXPECT_EQ(m.takeAll(out), 100u);
  EXPECT_EQ(out[0], 0.5f);
  // Corked for two seconds: the next chunk is placed where it arrived, the gap is silence.
  m.add(1, 96100, a.data(), 100);  // 96000..96099
  out.clear();
  EXPECT_EQ(m.takeAll(out), 95900u);
  EXPECT_EQ(std::tuple(out[0], out[2 * 95799], out[2 * 95800], out[2 * 95899 + 1]),
            std::tuple(0.0f, 0.0f, 0.5f, 0.5f));
  // A new stream whose first chunk reaches back before what was handed out keeps its tail.
  m.add(2, 96150, a.data(), 100);  // 96050..96149, of which 96050..96099 already went
  out.clear();
  EXPECT_EQ(m.takeAll(out), 50u);
  EXPECT_EQ(out[0], 0.5f);
}

}  // namespace
}  // namespace lumewell::app_audio
