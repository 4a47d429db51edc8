#include "media/live_mix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace lumewell::media {
namespace {

constexpr float kMic = 0.25f, kPulse = 0.5f;

// Mixes into a stereo block of the microphone at one level: the one level all of it has
// after, or NaN.
float mixedLevel(LiveMix& mix, float level, size_t frames) {
  std::vector<float> mic(frames * 2, level);
  mix.mixInto(mic.data(), frames);
  return std::all_of(mic.begin(), mic.end(), [&](float v) { return v == mic[0]; }) ? mic[0] : NAN;
}

// Ten simulated minutes of 20 ms microphone blocks, and 10 ms application blocks on a clock
// `skew` off with an 8-frame pulse every second of its own time: each pulse comes out at the
// same distance behind the microphone, the queue near its cushion, however the clocks drift.
TEST(LiveMix, KeepsADriftingApplicationAlignedAndFillsWhatIsMissingWithSilence) {
  for (const double skew : {0.001, -0.001}) {
    SCOPED_TRACE(skew);
    LiveMix mix;
    const double appRate = 48000 * (1 + skew);
    const int64_t appPerSecond = std::llround(appRate);
    int64_t appFrames = 0;
    size_t mostQueued = 0;
    std::vector<int64_t> pulsesAt;  // microphone frame of each pulse's start
    bool inPulse = false;
    std::vector<float> app(480 * 2), mic(960 * 2);
    for (int64_t micFrames = 0; micFrames < 600 * 48000; micFrames += 960) {
      // Everything the application's clock has produced by now arrives first.
      for (; appFrames + 480 <= double(micFrames + 960) / 48000 * appRate; appFrames += 480) {
        for (int64_t i = 0; i < 480; ++i)
          app[i * 2] = app[i * 2 + 1] = (appFrames + i) % appPerSecond < 8 ? kPulse : 0;
        mix.pushSecondary(app.data(), 480);
      }
      std::fill(mic.begin(), mic.end(), kMic);
      mix.mixInto(mic.data(), 960);
      mostQueued = std::max(mostQueued, mix.queuedFrames());
      for (int64_t i = 0; i < 960; ++i) {
        // Unchanged levels, alike in both channels: the microphone alone, or with the pulse.
        const float l = mic[i * 2];
        if (l != mic[i * 2 + 1] || (l != kMic && l != kMic + kPulse))
          return ADD_FAILURE() << "sample " << l << ", " << mic[i * 2 + 1] << " at "
                               << micFrames + i;
        if (l > kMic && !inPulse) pulsesAt.push_back(micFrames + i);
        inPulse = l > kMic;
      }
    }
    ASSERT_GE(pulsesAt.size(), 595u);
    // Pulse k is at microphone frame k * 48000 plus a fixed delay (the cushion); the delay
    // stays within 30 ms over the whole ten minutes (unfitted, it would drift by 600 ms).
    const int64_t first = pulsesAt[0];
    EXPECT_TRUE(first >= 3000 && first <= 7000) << first;
    for (int64_t k = 0; k < std::ssize(pulsesAt); ++k)
      ASSERT_LE(std::abs(pulsesAt[k] - k * 48000 - first), 1440) << "pulse " << k;
    EXPECT_LE(mostQueued, 4800u + 960u * 3);

    // The application goes quiet: what was held plays out, then the microphone goes on
    // alone, block after block, never waiting.
    for (int block = 0; block < 50; ++block)
      EXPECT_TRUE(mixedLevel(mix, kMic, 960) == kMic || block < 10) << block;
    EXPECT_EQ(mix.queuedFrames(), 0u);
  }
}

// Mixing starts once the cushion is held, adds at full level and saturates; a stalled
// microphone finds the application's audio there; the queue is bounded, a burst cut back.
TEST(LiveMix, StartsAfterTheCushionAddsAtFullLevelAndStaysBounded) {
  LiveMix mix;
  std::vector<float> app(15360 * 2, 0.875f);
  mix.pushSecondary(app.data(), 2400);
  EXPECT_EQ(mixedLevel(mix, 0.25f, 960), 0.25f);  // less than the cushion held: the mic alone
  mix.pushSecondary(app.data(), 3360);
  EXPECT_EQ(mixedLevel(mix, -0.25f, 960), 0.625f);
  EXPECT_EQ(mix.queuedFrames(), 4800u);
  EXPECT_EQ(mixedLevel(mix, 0.25f, 960), 1.0f);  // a loud sum saturates at full scale
  mix.pushSecondary(app.data(), 14400 + 960);    // the microphone stalled for 300 ms
  EXPECT_EQ(mixedLevel(mix, 0, 14400), 0.875f);
  EXPECT_EQ(mix.queuedFrames(), 4800u);
  for (int i = 0; i < 20; ++i) mix.pushSecondary(app.data(), 4800);
  EXPECT_EQ(mix.queuedFrames(), 48000u);
  mixedLevel(mix, 0, 960);
  EXPECT_EQ(mix.queuedFrames(), 4800u);
  mix.resetSecondary();
  EXPECT_EQ(mix.queuedFrames(), 0u);
}

}  // namespace
}  // namespace lumewell::media
