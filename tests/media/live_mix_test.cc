#include "media/live_mix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace lumewell::media {
namespace {

constexpr double kRate = 48000;
constexpr float kMic = 0.25f;
constexpr float kPulse = 0.5f;
constexpr size_t kPulseFrames = 8;

// Ten simulated minutes: the microphone brings 20 ms blocks on its clock, the application
// 10 ms blocks on a clock `skew` off; the application marks every second of its own time
// with a short pulse. Each pulse must come out at the same distance behind the microphone,
// and the queue must stay near its cushion, however the clocks drift.
TEST(LiveMix, KeepsADriftingApplicationAlignedAndFillsWhatIsMissingWithSilence) {
  for (const double skew : {0.001, -0.001}) {
    SCOPED_TRACE(skew);
    LiveMix mix;
    const double appRate = kRate * (1 + skew);
    const int64_t appPerSecond = std::llround(appRate);
    int64_t appFrames = 0, micFrames = 0;
    size_t mostQueued = 0;
    std::vector<int64_t> pulsesAt;  // microphone frame of each pulse's start
    bool inPulse = false;
    std::vector<float> app(480 * 2), mic(960 * 2);
    const int64_t end = 600 * static_cast<int64_t>(kRate);
    while (micFrames < end) {
      // Everything the application's clock has produced by now arrives first.
      const double now = static_cast<double>(micFrames + 960) / kRate;
      while (static_cast<double>(appFrames + 480) <= now * appRate) {
        for (size_t i = 0; i < 480; ++i) {
          const bool pulse = (appFrames + static_cast<int64_t>(i)) % appPerSecond <
                             static_cast<int64_t>(kPulseFrames);
          app[i * 2] = app[i * 2 + 1] = pulse ? kPulse : 0.0f;
        }
        mix.pushSecondary(app.data(), 480);
        appFrames += 480;
      }
      std::fill(mic.begin(), mic.end(), kMic);
      mix.mixInto(mic.data(), 960);
      mostQueued = std::max(mostQueued, mix.queuedFrames());
      for (size_t i = 0; i < 960; ++i) {
        const float l = mic[i * 2];
        EXPECT_EQ(l, mic[i * 2 + 1]);
        // Unchanged levels: the microphone alone, or with the pulse added on top.
        if (l != kMic && l != kMic + kPulse) {
          ADD_FAILURE() << "sample " << l << " at " << micFrames + static_cast<int64_t>(i);
          return;
        }
        const bool high = l > kMic;
        if (high && !inPulse) pulsesAt.push_back(micFrames + static_cast<int64_t>(i));
        inPulse = high;
      }
      micFrames += 960;
    }
    ASSERT_GE(pulsesAt.size(), 595u);
    // Pulse k is at microphone frame k * 48000 plus a fixed delay (the cushion); the delay
    // stays within 30 ms over the whole ten minutes (unfitted, it would drift by 600 ms).
    const int64_t first = pulsesAt[0];
    EXPECT_TRUE(first >= 3000 && first <= 7000) << first;
    for (size_t k = 0; k < pulsesAt.size(); ++k) {
      const int64_t delay = pulsesAt[k] - static_cast<int64_t>(k) * 48000;
      ASSERT_LE(std::abs(delay - first), 1440) << "pulse " << k;
    }
    EXPECT_LE(mostQueued, 4800u + 960u * 3);

    // The application goes quiet: what was held plays out, then the microphone goes on
    // alone, block after block, never waiting.
    for (int block = 0; block < 50; ++block) {
      std::fill(mic.begin(), mic.end(), kMic);
      mix.mixInto(mic.data(), 960);
      if (block >= 10) {
        EXPECT_TRUE(std::all_of(mic.begin(), mic.end(), [](float v) { return v == kMic; }));
      }
    }
    EXPECT_EQ(mix.queuedFrames(), 0u);
  }
}

TEST(LiveMix, StartsAfterTheCushionAddsAtFullLevelAndStaysBounded) {
  LiveMix mix;
  const auto all = [](const std::vector<float>& v, float x) {
    return std::all_of(v.begin(), v.end(), [x](float s) { return s == x; });
  };
  std::vector<float> app(15360 * 2, 0.875f);
  std::vector<float> mic(960 * 2, 0.25f);
  mix.pushSecondary(app.data(), 2400);
  mix.mixInto(mic.data(), 960);  // less than the cushion held: the microphone alone
  EXPECT_TRUE(all(mic, 0.25f));
  mix.pushSecondary(app.data(), 3360);
  mic.assign(960 * 2, -0.25f);
  mix.mixInto(mic.data(), 960);
  EXPECT_TRUE(all(mic, 0.625f));
  EXPECT_EQ(mix.queuedFrames(), 4800u);
  mic.assign(960 * 2, 0.25f);
  mix.mixInto(mic.data(), 960);  // a loud sum saturates at full scale
  EXPECT_TRUE(all(mic, 1.0f));

  // A microphone that stalled for 300 ms brings it all at once: the application's audio of
  // that time is there for it, nothing is dropped.
  mix.pushSecondary(app.data(), 14400 + 960);
  mic.assign(14400 * 2, 0.0f);
  mix.mixInto(mic.data(), 14400);
  EXPECT_TRUE(all(mic, 0.875f));
  EXPECT_EQ(mix.queuedFrames(), 4800u);

  // A burst far beyond the cushion (a delivery that stalled) is cut back to it at once;
  // however much arrives, no more than the capacity is held.
  for (int i = 0; i < 20; ++i) mix.pushSecondary(app.data(), 4800);
  EXPECT_EQ(mix.queuedFrames(), 48000u);
  mic.assign(960 * 2, 0.0f);
  mix.mixInto(mic.data(), 960);
  EXPECT_EQ(mix.queuedFrames(), 4800u);
  mix.resetSecondary();
  EXPECT_EQ(mix.queuedFrames(), 0u);
}

}  // namespace
}  // namespace lumewell::media
