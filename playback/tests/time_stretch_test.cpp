// SPDX-License-Identifier: GPL-3.0-or-later
// The sound's time-stretch: length, pitch and loudness kept across tempos and block sizes, exact
// pass-through at tempo 1.0, seeks, tempo changes mid-stream, the input-time mapping the clock
// relies on, and the bounds on what it accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

#include "playback/TimeStretch.h"

namespace {

constexpr int kRate = 8000;

using Samples = std::vector<std::int16_t>;

// `frames` frames of a sine per channel (freqs[c] on channel c), interleaved.
Samples Sine(const std::vector<double>& freqs, int rate, int frames, double amplitude = 12000) {
  const int channels = static_cast<int>(freqs.size());
  Samples out(static_cast<std::size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      out[static_cast<std::size_t>(i) * channels + c] = static_cast<std::int16_t>(std::lround(
          amplitude * std::sin(2 * std::numbers::pi * freqs[c] * i / static_cast<double>(rate))));
  return out;
}

Samples Noise(int samples, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  Samples out(static_cast<std::size_t>(samples));
  for (auto& s : out) s = static_cast<std::int16_t>(dist(gen));
  return out;
}

// Channel `c` of interleaved samples.
std::vector<double> Channel(const Samples& s, int channels, int c) {
  std::vector<double> out;
  for (std::size_t i = static_cast<std::size_t>(c); i < s.size(); i += channels)
    out.push_back(s[i]);
  return out;
}

// The middle half of a signal, away from the stretcher's start and its padded end.
std::vector<double> Middle(const std::vector<double>& x) {
  return {x.begin() + static_cast<std::ptrdiff_t>(x.size() / 4),
          x.begin() + static_cast<std::ptrdiff_t>(x.size() * 3 / 4)};
}

// Frequency from the rising zero crossings, located between samples by linear interpolation.
double DominantFrequency(const std::vector<double>& x, int rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t i = 1; i < x.size(); ++i) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      const double at = static_cast<double>(i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / (last - first);
}

double Rms(const std::vector<double>& x) {
  double sum = 0;
  for (double v : x) sum += v * v;
  return x.empty() ? 0 : std::sqrt(sum / static_cast<double>(x.size()));
}

// Receives everything ready into out.
void ReceiveAll(TimeStretch& ts, int channels, Samples& out, int chunk = 500) {
  Samples buf(static_cast<std::size_t>(chunk) * channels);
  while (int n = ts.Receive(buf.data(), chunk))
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n) * channels);
}

// Puts `in` in blocks of `block` frames, receiving after each, then flushes and receives the rest.
Samples Stream(TimeStretch& ts, const Samples& in, int channels, int block) {
  Samples out;
  const int frames = static_cast<int>(in.size()) / channels;
  for (int at = 0; at < frames; at += block) {
    const int n = std::min(block, frames - at);
    EXPECT_TRUE(ts.Put(in.data() + static_cast<std::size_t>(at) * channels, n));
    ReceiveAll(ts, channels, out);
  }
  ts.Flush();
  ReceiveAll(ts, channels, out);
  return out;
}

// ---- Stretching a tone: length, pitch and loudness --------------------------------------------

using ToneCase = std::tuple<double /*freq*/, double /*tempo*/, int /*block*/>;
class StretchToneTest : public testing::TestWithParam<ToneCase> {};

TEST_P(StretchToneTest, KeepsPitchAndLoudnessAndScalesLength) {
  const auto [freq, tempo, block] = GetParam();
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  ts.SetTempo(tempo);
  const int frames = 3 * kRate;
  const Samples in = Sine({freq}, kRate, frames);
  const Samples out = Stream(ts, in, 1, block);

  const double expected = frames / tempo;
  EXPECT_NEAR(static_cast<double>(out.size()), expected, expected * 0.02);
  const auto mid = Middle(Channel(out, 1, 0));
  EXPECT_NEAR(DominantFrequency(mid, kRate), freq, freq * 0.02);
  const double inRms = Rms(Middle(Channel(in, 1, 0)));
  EXPECT_NEAR(Rms(mid), inRms, inRms * 0.2);
  // Nothing is left inside once the stream is flushed and received.
  EXPECT_EQ(ts.BufferedInputFrames(), 0);
  EXPECT_EQ(ts.ReadyFrames(), 0);
}

INSTANTIATE_TEST_SUITE_P(Tones, StretchToneTest,
                         testing::Combine(testing::Values(440.0, 1000.0),
                                          testing::Values(0.5, 0.75, 1.5, 2.0),
                                          testing::Values(1, 1920)));

// Two channels at 48 kHz: each keeps its own tone, none leaks into the other.
TEST(TimeStretchTest, StereoChannelsStayApartAndKeepTheirPitch) {
  constexpr int rate = 48000;
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(rate, 2));
  ts.SetTempo(1.5);
  const Samples in = Sine({440.0, 1000.0}, rate, 2 * rate);
  const Samples out = Stream(ts, in, 2, 1920);
  EXPECT_NEAR(static_cast<double>(out.size() / 2), 2 * rate / 1.5, 2 * rate / 1.5 * 0.02);
  EXPECT_NEAR(DominantFrequency(Middle(Channel(out, 2, 0)), rate), 440.0, 440.0 * 0.02);
  EXPECT_NEAR(DominantFrequency(Middle(Channel(out, 2, 1)), rate), 1000.0, 1000.0 * 0.02);
}

// ---- Tempo 1.0 ---------------------------------------------------------------------------------

using PassCase = std::tuple<int /*rate*/, int /*channels*/>;
class PassThroughTest : public testing::TestWithParam<PassCase> {};

TEST_P(PassThroughTest, IsBitExactWithNoLatency) {
  const auto [rate, channels] = GetParam();
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(rate, channels));
  const Samples in = Noise(rate * channels, 7);
  const int frames = rate;
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> blockSize(1, 2000);
  Samples out;
  std::int64_t put = 0;
  for (int at = 0; at < frames;) {
    const int n = std::min(blockSize(gen), frames - at);
    ASSERT_TRUE(ts.Put(in.data() + static_cast<std::size_t>(at) * channels, n));
    put += n;
    at += n;
    EXPECT_EQ(ts.LatencyFrames(), 0);
    // Every frame put is ready at once.
    EXPECT_EQ(ts.ReadyFrames(), put - static_cast<std::int64_t>(out.size()) / channels);
    EXPECT_EQ(ts.BufferedInputFrames(), ts.ReadyFrames());
    // Receive in other sizes than were put.
    Samples buf(static_cast<std::size_t>(333) * channels);
    while (ts.ReadyFrames() > 400) {
      const int got = ts.Receive(buf.data(), 333);
      out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got) * channels);
    }
  }
  ts.Flush();
  ReceiveAll(ts, channels, out);
  EXPECT_EQ(out, in);
}

INSTANTIATE_TEST_SUITE_P(Formats, PassThroughTest,
                         testing::Values(PassCase{8000, 1}, PassCase{44100, 2},
                                         PassCase{48000, 1}));

// Back at 1.0 after a stretch, the sound passes untouched once the stretch is pushed out.
TEST(TimeStretchTest, ReturningToNormalSpeedPassesTheSamplesUntouched) {
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  ts.SetTempo(1.5);
  Samples out;
  const Samples first = Sine({440.0}, kRate, kRate);
  ASSERT_TRUE(ts.Put(first.data(), kRate));
  ts.SetTempo(1.0);
  EXPECT_EQ(ts.LatencyFrames(), 0);
  ReceiveAll(ts, 1, out);
  const std::size_t stretched = out.size();
  EXPECT_NEAR(static_cast<double>(stretched), kRate / 1.5, kRate / 1.5 * 0.02);
  const Samples second = Noise(kRate, 11);
  ASSERT_TRUE(ts.Put(second.data(), kRate));
  ReceiveAll(ts, 1, out);
  EXPECT_EQ(Samples(out.begin() + static_cast<std::ptrdiff_t>(stretched), out.end()), second);
}

// ---- Clear -------------------------------------------------------------------------------------

class ClearTest : public testing::TestWithParam<double> {};

TEST_P(ClearTest, DropsEverythingPutBefore) {
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  ts.SetTempo(GetParam());
  const Samples loud = Sine({1000.0}, kRate, kRate, 30000);
  ASSERT_TRUE(ts.Put(loud.data(), kRate));
  ts.Clear();
  EXPECT_EQ(ts.ReadyFrames(), 0);
  EXPECT_EQ(ts.BufferedInputFrames(), 0);
  EXPECT_EQ(ts.LatencyFrames(), 0);
  std::int16_t one = 0;
  EXPECT_EQ(ts.Receive(&one, 1), 0);

  // After the seek, silence in gives silence out: nothing of the tone is left to leak.
  const Samples silence(static_cast<std::size_t>(kRate), 0);
  const Samples out = Stream(ts, silence, 1, 800);
  EXPECT_NEAR(static_cast<double>(out.size()), kRate / GetParam(), kRate / GetParam() * 0.02);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::int16_t s) { return s == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Tempos, ClearTest, testing::Values(0.5, 1.0, 2.0));

// ---- Tempo changes and the input-time mapping --------------------------------------------------

// One second at each tempo in turn: the total length follows each tempo and the tone survives
// every change.
TEST(TimeStretchTest, ChangingTempoMidStreamKeepsWorking) {
  const std::vector<double> tempos{1.0, 2.0, 0.5, 0.75, 1.0, 1.5};
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  const Samples second = Sine({440.0}, kRate, kRate);
  Samples out;
  double expected = 0;
  for (double tempo : tempos) {
    ts.SetTempo(tempo);
    EXPECT_EQ(ts.Tempo(), tempo);
    const std::size_t before = out.size();
    for (int at = 0; at < kRate; at += 1920) {
      ASSERT_TRUE(ts.Put(second.data() + at, std::min(1920, kRate - at)));
      ReceiveAll(ts, 1, out);
    }
    expected += kRate / tempo;
    // Well past the change, the output carries the tone at its pitch.
    const Samples part(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
    EXPECT_NEAR(DominantFrequency(Middle(Channel(part, 1, 0)), kRate), 440.0, 440.0 * 0.02)
        << "at tempo " << tempo;
  }
  ts.Flush();
  ReceiveAll(ts, 1, out);
  EXPECT_NEAR(static_cast<double>(out.size()), expected, expected * 0.02);
  EXPECT_EQ(ts.BufferedInputFrames(), 0);
}

// A loud tone that drops to a quiet one at a known input frame: the mapping (the next frame out
// stands for end - BufferedInputFrames, and the frames received share the input it drops by) must
// place the drop where it was put in, within a stretcher piece.
struct MarkCase {
  double before;  // tempo while the loud part plays
  double after;   // tempo from half-way through the loud part
};
void PrintTo(const MarkCase& c, std::ostream* os) { *os << c.before << " then " << c.after; }
class MappingTest : public testing::TestWithParam<MarkCase> {};

TEST_P(MappingTest, OutputFramesMapBackToTheirInputTime) {
  const MarkCase c = GetParam();
  constexpr int kDrop = 2 * kRate;  // input frame where the tone drops
  Samples in = Sine({500.0}, kRate, 4 * kRate, 16000);
  for (std::size_t i = kDrop; i < in.size(); ++i) in[i] = static_cast<std::int16_t>(in[i] / 8);

  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  ts.SetTempo(c.before);
  std::vector<double> inputPos;  // the input position the mapping gives each output frame
  Samples out;
  std::int64_t end = 0;
  std::int16_t buf[64];
  for (int at = 0; at < static_cast<int>(in.size()); at += 200) {
    if (at == kRate) ts.SetTempo(c.after);
    ASSERT_TRUE(ts.Put(in.data() + at, 200));
    end += 200;
    ASSERT_GE(ts.BufferedInputFrames(), ts.LatencyFrames());
    // Receive in small pieces: each starts at end - BufferedInputFrames, and its frames share the
    // input that BufferedInputFrames drops by.
    for (;;) {
      const std::int64_t before = ts.BufferedInputFrames();
      const int n = ts.Receive(buf, 64);
      if (n == 0) break;
      const double step = static_cast<double>(before - ts.BufferedInputFrames()) / n;
      out.insert(out.end(), buf, buf + n);
      for (int i = 0; i < n; ++i) inputPos.push_back(static_cast<double>(end - before) + i * step);
    }
  }
  ASSERT_GT(inputPos.size(), 0u);
  // The positions only move forwards, by about a frame's worth each.
  EXPECT_TRUE(std::is_sorted(inputPos.begin(), inputPos.end()));

  // The drop in the output: the first 10 ms window whose peak is under 40 % of the loud tone's.
  constexpr int kWindow = 80;
  std::size_t dropAt = 0;
  for (std::size_t w = 0; w + kWindow <= inputPos.size(); w += kWindow / 4) {
    double peak = 0;
    for (std::size_t i = w; i < w + kWindow; ++i) peak = std::max(peak, std::abs(1.0 * out[i]));
    if (peak < 16000 * 0.4) {
      dropAt = w;
      break;
    }
  }
  ASSERT_GT(dropAt, 0u);
  // The stretcher cross-fades 40 ms pieces and the envelope is read in 10 ms windows: 45 ms
  // either side, less than the latency a mapping that forgot it would be off by (up to 80 ms).
  EXPECT_NEAR(inputPos[dropAt], kDrop, 0.045 * kRate) << "drop found at output frame " << dropAt;
}

INSTANTIATE_TEST_SUITE_P(Tempos, MappingTest,
                         testing::Values(MarkCase{1.0, 1.0}, MarkCase{2.0, 2.0}, MarkCase{0.5, 0.5},
                                         MarkCase{1.0, 1.5}, MarkCase{0.75, 1.0},
                                         MarkCase{2.0, 0.5}));

// The latency stays small and settles while the stream runs.
TEST(TimeStretchTest, LatencyIsBoundedWhileStreaming) {
  for (double tempo : {0.5, 2.0}) {
    TimeStretch ts;
    ASSERT_TRUE(ts.Configure(kRate, 1));
    ts.SetTempo(tempo);
    const Samples in = Sine({440.0}, kRate, 2 * kRate);
    std::int64_t most = 0;
    Samples out;
    for (int at = 0; at < 2 * kRate; at += 200) {
      ASSERT_TRUE(ts.Put(in.data() + at, 200));
      most = std::max(most, ts.LatencyFrames());
      ReceiveAll(ts, 1, out);
    }
    EXPECT_GT(most, 0) << tempo;
    EXPECT_LE(most, kRate / 8) << tempo;  // 125 ms
    EXPECT_GT(out.size(), 0u) << tempo;
  }
}

// ---- What it accepts ---------------------------------------------------------------------------

TEST(TimeStretchTest, RefusesFormatsOutOfRange) {
  TimeStretch ts;
  for (auto [rate, channels] : {std::pair{7999, 1}, std::pair{48001, 1}, std::pair{8000, 0},
                                std::pair{8000, 3}, std::pair{-8000, 1}}) {
    EXPECT_FALSE(ts.Configure(rate, channels)) << rate << "/" << channels;
    EXPECT_FALSE(ts.Configured());
    const std::int16_t s[2] = {1, 2};
    EXPECT_FALSE(ts.Put(s, 1));
  }
  EXPECT_TRUE(ts.Configure(8000, 1));
  EXPECT_TRUE(ts.Configure(48000, 2));
}

TEST(TimeStretchTest, ClampsTheTempo) {
  TimeStretch ts;
  const std::vector<std::pair<double, double>> cases{
      {0.1, 0.5}, {0.5, 0.5}, {1.25, 1.25}, {2.0, 2.0}, {9.0, 2.0}, {-1.0, 0.5}, {NAN, 1.0}};
  for (auto [asked, got] : cases) {
    ts.SetTempo(asked);
    EXPECT_EQ(ts.Tempo(), got) << asked;
  }
}

// The tempo set before Configure applies to the stream.
TEST(TimeStretchTest, TempoSetBeforeConfigureApplies) {
  TimeStretch ts;
  ts.SetTempo(2.0);
  ASSERT_TRUE(ts.Configure(kRate, 1));
  const Samples out = Stream(ts, Sine({440.0}, kRate, kRate), 1, 1920);
  EXPECT_NEAR(static_cast<double>(out.size()), kRate / 2.0, kRate / 2.0 * 0.02);
}

class PutBoundsTest : public testing::TestWithParam<double> {};

TEST_P(PutBoundsTest, RefusesBadBlocksAndTooMuchWaiting) {
  TimeStretch ts;
  ASSERT_TRUE(ts.Configure(kRate, 1));
  ts.SetTempo(GetParam());
  const Samples one(1, 5);
  EXPECT_FALSE(ts.Put(nullptr, 1));
  EXPECT_FALSE(ts.Put(one.data(), -1));
  EXPECT_TRUE(ts.Put(nullptr, 0));
  EXPECT_EQ(ts.BufferedInputFrames(), 0);

  // Fill up to the limit without receiving; past it, even one frame is refused and nothing taken.
  const int limit = TimeStretch::kMaxBufferedSeconds * kRate;
  const Samples block = Sine({440.0}, kRate, 4000);
  int put = 0;
  for (int i = 0; i < 2 * limit / 4000 && ts.Put(block.data(), 4000); ++i) put += 4000;
  EXPECT_EQ(put, limit);
  EXPECT_EQ(ts.BufferedInputFrames(), limit);
  EXPECT_FALSE(ts.Put(block.data(), 1));
  EXPECT_EQ(ts.BufferedInputFrames(), limit);
  // Receiving makes room again.
  Samples out;
  ReceiveAll(ts, 1, out);
  EXPECT_TRUE(ts.Put(block.data(), 4000));
}

INSTANTIATE_TEST_SUITE_P(Tempos, PutBoundsTest, testing::Values(0.5, 1.0, 2.0));

}  // namespace
