// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a recording's GPS track ahead of playback: ReadRecordingTrack (and with the G-sensor
// samples, ReadRecordingTelemetry) of a one-hour two-camera recording with 3,600 fixes, beside
// the card library's full reading of the same file keeping only its text packets.
//
//   roadeye-track_bench [google benchmark flags]
//
// The setup writes the recording with the card library's writer into a temporary folder (removed
// at the end): front pictures at about 2 Mbit/s (a key picture each second four times the size of
// the others), the rear at a third of that, 3840-byte sound packets every 240 ms, a GPS fix each
// second and ten G-sensor samples a second, 1.2 GB in all. Pictures are random bytes: only their
// records are read. Argument 1 drops the file from the page cache before each pass (the reads
// then come from the disk); 0 reads from the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchCard.h"
#include "bench/HourRecording.h"
#include "media/MediaTypes.h"
#include "telemetry/TrackReader.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

using bench::kHourSeconds;
using bench::WriteHourRecording;
constexpr int kSeconds = kHourSeconds;

std::string gRoot;  // the card folder
const char* const kName = "REC_20240612_100000_D.avi";

std::string RecordingFile() {
  return gRoot + "/VEX/" + std::string(kName).substr(0, std::string(kName).size() - 4) + ".vex";
}

void EvictWhenAsked(benchmark::State& state) { bench::DropWhenAsked(state, RecordingFile()); }

VexHandle StartLibrary() { return bench::StartCardLibrary(gRoot); }

void BM_ReadRecordingTrack(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  int points = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    Track track;
    if (ReadRecordingTrack(lib, kName, &track, nullptr) != TrackReadResult::kOk) {
      state.SkipWithError("the track could not be read");
      break;
    }
    points = track.PointCount();
  }
  if (points != kSeconds) state.SkipWithError("not every fix was read");
  state.counters["fixes"] = points;
  VexRelease(lib);
}

void BM_ReadRecordingTelemetry(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  std::size_t samples = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    RecordingTelemetry t;
    if (ReadRecordingTelemetry(lib, kName, &t, nullptr) != TrackReadResult::kOk) {
      state.SkipWithError("the telemetry could not be read");
      break;
    }
    samples = t.gsensor.size();
  }
  state.counters["samples"] = double(samples);
  VexRelease(lib);
}

// What reading the track cost before the text scan: the library's stream, every payload read.
void BM_FullStreamTextOnly(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  std::vector<std::uint8_t> buf(kPacketBufferSize);
  int texts = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    const int id = VexSelectByName(lib, kVexContinuous, kName);
    if (VexOpenStream(lib, kVexContinuous, 0, id) != 1) {
      state.SkipWithError("cannot open the recording");
      break;
    }
    texts = 0;
    for (;;) {
      std::uint8_t channel, type, flags;
      int size = kPacketBufferSize;
      std::int32_t ms;
      if (VexReadPacket(lib, &channel, &type, &flags, &size, buf.data(), &ms) != kVexReadOk) break;
      texts += type == vex::kTypeText;
    }
  }
  state.counters["texts"] = texts;
  VexRelease(lib);
}

BENCHMARK(BM_ReadRecordingTrack)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRecordingTelemetry)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullStreamTextOnly)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string pattern = (fs::temp_directory_path() / "roadeye-track-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  gRoot = pattern;
  fs::create_directories(gRoot + "/VEX");
  std::fprintf(stderr, "writing a one-hour recording into %s\n", gRoot.c_str());
  const bool written = WriteHourRecording(RecordingFile());
  if (written) {
    std::fprintf(stderr, "%.0f MB\n", double(fs::file_size(RecordingFile())) / 1e6);
    benchmark::RunSpecifiedBenchmarks();
  } else {
    std::fprintf(stderr, "cannot write the recording\n");
  }
  std::error_code ec;
  fs::remove_all(gRoot, ec);
  benchmark::Shutdown();
  return written ? 0 : 1;
}
