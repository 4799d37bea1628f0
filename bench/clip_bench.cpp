// SPDX-License-Identifier: GPL-3.0-or-later
// Exporting an evidence clip (export/ClipExport.h): ten seconds from the middle of a 30 s
// 1920x1080 + 1280x720 two-camera recording at 8 Mbit/s written by roadeye-mkcard, into a folder
// on the computer: the AVI file of the span's blocks, the track, the text and the checksums (of
// the three files and of the whole recording on the card). The window's export and
// `roadeye-convert --from --to` run this.
//
//   roadeye-clip_bench [--card DIR] [google benchmark flags]
//
// Without --card the card is written into the temporary folder first (and kept for later runs).
// Argument 1 drops the recording from the page cache before each pass (a card just put in); 0
// reads it from the page cache (the clip marked on a recording being played).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchCard.h"
#include "export/ClipExport.h"
#include "media/CVEXParser.h"
#include "support/Diag.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

std::string gCard;
std::string gName;  // the recording's listed name
std::string gFile;  // its file

bool PrepareCard(const char* argv0, const std::string& given) {
  if (!given.empty()) {
    gCard = given;
  } else {
    gCard = (fs::temp_directory_path() / "roadeye-bench-clip-card").string();
    if (!fs::exists(fs::path(gCard) / "VEX")) {
      const std::string tool = (fs::path(argv0).parent_path() / "roadeye-mkcard").string();
      const std::string cmd = tool + " '" + gCard +
                              "' --seconds 30 --count 1 --kinds EVENT --rear yes"
                              " --front 1920x1080 --rear-size 1280x720 --bitrate 8000"
                              " --no-damaged > /dev/null";
      if (std::system(cmd.c_str()) != 0) return false;
    }
  }
  for (const auto& entry : fs::directory_iterator(fs::path(gCard) / "VEX")) {
    const std::string stem = entry.path().stem().string();
    if (entry.path().extension() == ".vex" && stem.size() > 2 &&
        stem.substr(stem.size() - 2) == "_D") {
      gFile = entry.path().string();
      gName = stem + ".avi";
      break;
    }
  }
  return !gFile.empty();
}

void BM_ExportTenSecondClip(benchmark::State& state) {
  VexHandle lib = bench::StartCardLibrary(gCard);
  CVEXParser parser;
  parser.SetLibraryHandle(lib);
  parser.Start();
  const fs::path out = fs::temp_directory_path() / "roadeye-bench-clip-out";
  fs::create_directories(out);
  ClipRequest request;
  request.name = gName;
  request.fromMs = 10000;
  request.toMs = 20000;
  request.folder = out.string();
  std::uintmax_t written = 0;
  for (auto _ : state) {
    bench::DropWhenAsked(state, gFile);
    const ClipOutcome o = ExportClip(&parser, lib, request, nullptr, nullptr, nullptr);
    if (o.result != kClipDone) {
      state.SkipWithError(o.reason.c_str());
      break;
    }
    state.PauseTiming();
    written = 0;
    for (const std::string& f : o.files) {
      std::error_code ec;
      written += fs::file_size(f, ec);
      fs::remove(f, ec);
    }
    state.ResumeTiming();
  }
  parser.Stop();
  VexRelease(lib);
  std::error_code ec;
  fs::remove_all(out, ec);
  state.counters["clip_MB"] = double(written) / 1e6;
  state.counters["source_MB"] = double(fs::file_size(gFile, ec)) / 1e6;
}

BENCHMARK(BM_ExportTenSecondClip)
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
  // The reader's and writer's diagnostic lines would be timed too.
  DiagSetOutput(nullptr);
  std::printf("recording: %s (%.1f MB)\n", gFile.c_str(), double(fs::file_size(gFile)) / 1e6);
  int n = int(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
