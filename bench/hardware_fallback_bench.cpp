// SPDX-License-Identifier: GPL-3.0-or-later
// What the hand-over from a failing hardware path to software costs the picture it happens at: the
// one Decode call at which the path fails (the software context opened, the packets since the last
// key picture decoded again unseen, the failed packet decoded) beside an ordinary Decode call on
// the path and one on the software decoder at two frame threads (its successor named ahead, as
// the engine does). The path is the stand-in of the tests (libavcodec's software decoder handing
// out NV12), so the figures are the software side of the hand-over; a real device's own decoding
// is faster than the stand-in's.
//
//   roadeye-hardware_fallback_bench [google benchmark flags]
//
// The streams are the front cameras of realistic 3-second cards (roadeye-mkcard --realistic, a
// key picture each second at 30 pictures a second) at 1280x720 and 1920x1080, written into the
// temporary folder and kept for the next run. Rows name the picture of the second block the
// Decode call is for: 31 hands over with one packet to give again, 59 with twenty-nine.
extern "C" {
#include <libavutil/log.h>
}

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCard.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/HardwareDecoding.h"
#include "playback/testing/StandInPath.h"
#include "support/Diag.h"
#include "vexlib/PicturePackets.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

struct Stream {
  std::string label;
  std::vector<std::vector<char>> packets;
};

std::vector<Stream> gStreams;

// The pictures of the second block whose Decode call is measured.
constexpr int kPictures[] = {31, 45, 59};
// The software decoder's threads, as the viewer runs it on a computer of two cores or more.
constexpr int kThreads = 2;

bool ReadFront(const fs::path& card, const std::string& label) {
  std::error_code ec;
  std::string stem;
  for (const auto& entry : fs::directory_iterator(card / "VEX", ec)) {
    if (entry.path().extension() == ".vex") stem = entry.path().stem().string();
  }
  if (stem.empty()) return false;
  VexHandle lib = bench::StartCardLibrary(card.string());
  const int kind = bench::KindOfName(stem);
  const int id = VexSelectByName(lib, kind, (stem + ".avi").c_str());
  Stream s{label, {}};
  if (id >= 0 && VexOpenStream(lib, kind, 0, id)) {
    vex::ForEachPicturePacket(lib, [&](int channel, const char* data, int size) {
      if (channel == 0) s.packets.emplace_back(data, data + size);
      return true;
    });
  }
  VexRelease(lib);
  if (s.packets.size() < 60) return false;
  gStreams.push_back(std::move(s));
  return true;
}

enum class Kind { kHandOver, kOnThePath, kSoftware };

// Opens a decoder of the kind, decodes the stream up to `picture` (not timed) and times the Decode
// call of `picture`.
void DecodeOne(benchmark::State& state, const Stream* s, Kind kind, int picture) {
  for (auto _ : state) {
    CFFMH264_Decoder d;
    if (kind == Kind::kSoftware) {
      d.SetChoice(DecoderChoice::kSoftware);
    } else {
      playback_testing::Breakage breakage;
      if (kind == Kind::kHandOver) breakage.faultAtPicture = picture;
      d.SetChoice(DecoderChoice::kAuto, playback_testing::StandIn(breakage));
    }
    if (!d.Init(kThreads)) {
      state.SkipWithError("the decoder did not open");
      return;
    }
    const auto& p = s->packets;
    for (int i = 0; i < picture; ++i) {
      d.SendAhead(p[std::size_t(i) + 1].data(), int(p[std::size_t(i) + 1].size()));
      d.Decode(p[std::size_t(i)].data(), int(p[std::size_t(i)].size()));
    }
    d.SendAhead(p[std::size_t(picture) + 1].data(), int(p[std::size_t(picture) + 1].size()));
    const auto start = std::chrono::steady_clock::now();
    const bool shown =
        d.Decode(p[std::size_t(picture)].data(), int(p[std::size_t(picture)].size()));
    const auto end = std::chrono::steady_clock::now();
    if (!shown || d.UsingHardware() != (kind == Kind::kOnThePath)) {
      state.SkipWithError("the picture did not come as expected");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

void Register() {
  for (const Stream& s : gStreams) {
    for (int picture : kPictures) {
      for (const auto& [name, kind] :
           {std::pair{"HandOver", Kind::kHandOver}, std::pair{"OnThePath", Kind::kOnThePath},
            std::pair{"Software", Kind::kSoftware}}) {
        benchmark::RegisterBenchmark(
            (std::string(name) + "/" + s.label + "/picture:" + std::to_string(picture)).c_str(),
            DecodeOne, &s, kind, picture)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  DiagSetOutput(nullptr);  // the hand-over's own diagnostic line, once per pass
  const fs::path work = fs::temp_directory_path() / "roadeye-bench-fallback";
  std::error_code ec;
  fs::create_directories(work, ec);
  for (const char* size : {"1280x720", "1920x1080"}) {
    const fs::path dir = work / ("realistic-" + std::string(size));
    const std::string options =
        std::string(
            "--seconds 3 --count 1 --kinds REC --rear no --no-damaged --realistic "
            "--jobs 1 --bitrate 12000 --front ") +
        size;
    if (!bench::WriteCardOnce(argv[0], dir, options) || !ReadFront(dir, size)) {
      std::fprintf(stderr, "no card to measure in %s\n", dir.c_str());
      return 1;
    }
  }
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
