// SPDX-License-Identifier: GPL-3.0-or-later
// CPU cost of the sound's time-stretch: one second of 8000 Hz mono sound (a voice-like mix of
// tones and noise) stretched in 240 ms blocks, as the engine feeds it, at several tempos. The
// "cpu_per_sound_second" counter is the CPU time per second of input sound.
//
//   roadeye-time_stretch_bench [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "playback/TimeStretch.h"

namespace {

constexpr int kRate = 8000;
constexpr int kBlock = 1920;  // 240 ms, one sound packet of a recording

// A second of sound with a voice's harmonics over road-like noise.
std::vector<std::int16_t> Sound() {
  std::vector<std::int16_t> s(kRate);
  std::mt19937 gen(1);
  std::normal_distribution<double> noise(0, 1500);
  for (int i = 0; i < kRate; ++i) {
    const double t = i / static_cast<double>(kRate);
    double v = noise(gen);
    for (int h = 1; h <= 8; ++h) v += 6000.0 / h * std::sin(2 * std::numbers::pi * 140 * h * t);
    s[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return s;
}

// state.range(0): the tempo in hundredths. An iteration is one second of input.
void BM_StretchOneSecond(benchmark::State& state) {
  const std::vector<std::int16_t> in = Sound();
  std::vector<std::int16_t> out(kRate * 2);
  TimeStretch ts;
  if (!ts.Configure(kRate, 1)) {
    state.SkipWithError("cannot configure the stretcher");
    return;
  }
  ts.SetTempo(static_cast<double>(state.range(0)) / 100.0);
  std::int64_t frames = 0;
  for (auto _ : state) {
    for (int at = 0; at < kRate; at += kBlock) {
      ts.Put(in.data() + at, std::min(kBlock, kRate - at));
      while (ts.Receive(out.data(), static_cast<int>(out.size())) > 0) {
      }
    }
    benchmark::DoNotOptimize(out.data());
    frames += kRate;
  }
  // CPU time per iteration, i.e. per second of input sound.
  state.counters["cpu_per_sound_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(frames);
}

BENCHMARK(BM_StretchOneSecond)->Arg(50)->Arg(100)->Arg(200)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
