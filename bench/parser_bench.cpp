// SPDX-License-Identifier: GPL-3.0-or-later
// Packet throughput of the card recording parser (reader thread and queue) beside a plain read of
// the same file, on a 1920x1080 + 1280x720 two-camera recording written by roadeye-mkcard.
//
//   roadeye-parser_bench [--card DIR] [google benchmark flags]
//
// Without --card a one-minute card is written into a temporary folder first.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchCard.h"
#include "media/CVEXParser.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

std::string gCard;
std::string gName;    // the recording's listed name
std::string gFile;    // its file
double gSeconds = 0;  // its length

bool PrepareCard(const char* argv0, const std::string& given) {
  if (!given.empty()) {
    gCard = given;
  } else {
    gCard = (fs::temp_directory_path() / "roadeye-bench-card").string();
    if (!fs::exists(fs::path(gCard) / "VEX")) {
      std::string tool = (fs::path(argv0).parent_path() / "roadeye-mkcard").string();
      std::string cmd = tool + " '" + gCard +
                        "' --seconds 60 --count 1 --kinds REC --rear yes --front 1920x1080"
                        " --rear-size 1280x720 --no-damaged > /dev/null";
      if (std::system(cmd.c_str()) != 0) return false;
    }
  }
  for (const auto& entry : fs::directory_iterator(fs::path(gCard) / "VEX")) {
    std::string stem = entry.path().stem().string();
    if (entry.path().extension() == ".vex" && stem.size() > 2 &&
        stem.substr(stem.size() - 2) == "_D") {
      gFile = entry.path().string();
      gName = "/" + stem + ".avi";
      break;
    }
  }
  return !gFile.empty();
}

void EvictWhenAsked(benchmark::State& state) { bench::DropWhenAsked(state, gFile); }

VexHandle StartLibrary() { return bench::StartCardLibrary(gCard); }

// state.range(0): 1 reads from the disk (cache dropped before each pass), 0 from the page cache.
void BM_PlainRead(benchmark::State& state) {
  std::vector<char> buf(1 << 20);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    std::FILE* f = std::fopen(gFile.c_str(), "rb");
    if (!f) {
      state.SkipWithError("cannot open the recording");
      return;
    }
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) bytes += std::int64_t(n);
    std::fclose(f);
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(bytes);
}

// The card library's own reads, on the calling thread: what the parser's reader thread costs.
void BM_LibraryRead(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  std::string name = gName.substr(1);
  std::vector<unsigned char> buf(kPacketBufferSize);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    int id = VexSelectByName(lib, kVexContinuous, name.c_str());
    if (!VexOpenStream(lib, kVexContinuous, 0, id)) {
      state.SkipWithError("cannot open the recording");
      break;
    }
    for (;;) {
      std::uint8_t channel, type, flags;
      std::int32_t scratch;
      int size = kPacketBufferSize;
      if (VexReadPacket(lib, &channel, &type, &flags, &size, buf.data(), &scratch) != kVexReadOk)
        break;
      bytes += size;
    }
  }
  VexRelease(lib);
  state.SetBytesProcessed(bytes);
}

void BM_ParserThroughput(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  CVEXParser parser;
  parser.SetLibraryHandle(lib);
  parser.Start();
  std::vector<unsigned char> buf(kPacketBufferSize);
  std::int64_t bytes = 0, packets = 0;
  // The parser's "queue empty" diagnostics would swamp the figures.
  std::fflush(stdout);
  int saved = dup(1);
  std::FILE* devnull = std::freopen("/dev/null", "w", stdout);
  for (auto _ : state) {
    EvictWhenAsked(state);
    RecordingInfo info;
    if (!parser.Open(gName.c_str(), &info)) {
      state.SkipWithError("cannot open the recording");
      break;
    }
    for (;;) {
      char tag[8] = {};
      int size = kPacketBufferSize;
      if (parser.ReadPacket(tag, buf.data(), &size) < 0) break;
      if (tag[0]) {
        bytes += size;
        ++packets;
      }
    }
    gSeconds = info.frontFrameRate > 0 ? double(info.frontFrameCount) / info.frontFrameRate : 0;
  }
  std::fflush(stdout);
  if (devnull) dup2(saved, 1);
  close(saved);
  parser.Stop();
  VexRelease(lib);
  state.SetBytesProcessed(bytes);
  state.counters["packets/s"] = benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
  // Seconds of recording read per second: how far ahead of playback the reader runs.
  state.counters["x_realtime"] =
      benchmark::Counter(gSeconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_PlainRead)
    ->ArgName("from_disk")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LibraryRead)
    ->ArgName("from_disk")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ParserThroughput)
    ->ArgName("from_disk")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::string card = bench::TakeCardOption(argc, argv, &rest);
  if (!PrepareCard(argv[0], card)) {
    std::fprintf(stderr, "no two-camera recording to measure (card: %s)\n", gCard.c_str());
    return 1;
  }
  std::printf("recording: %s (%.1f MB)\n", gFile.c_str(), double(fs::file_size(gFile)) / 1e6);
  int n = int(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
