// Pictures per second of the video decoder (decode, scale and convert to BGR, present) on the
// front streams of 1920x1080 and 1280x720 recordings written by roadeye-mkcard, shown on a 640x360
// surface, beside the ffmpeg command line doing the same work on the same stream:
//
//   ffmpeg -threads 1 -i front.h264 -vf scale=640:360 -pix_fmt bgr24 -f null -
//
//   roadeye-decode_bench [--card DIR] [google benchmark flags]
//
// Without --card two 20-second cards are written into the temporary folder first (kept for the
// next run). With --card, the front stream of every recording on that card is measured.
//
// Rows: DecodeOnly (decoding alone), DecodeAndConvert (decoding and conversion to a surface that
// keeps nothing), DecodeAndPresent (the whole draw to a recording surface, as the engine draws),
// FFmpegCli (the command line above, its start-up included) and FFmpegCliFastBilinear (the same
// with the scaler our decoder uses). Each row's frames_per_s counter is the figure to compare.
// RecordingSurfacePresent gives what the recording surface's own pixel digest costs per picture,
// which DecodeAndPresent includes.
extern "C" {
#include <libavutil/log.h>
}

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCard.h"
#include "playback/CDecoder.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/RecordingSurface.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSurfaceWidth = 640;
constexpr int kSurfaceHeight = 360;

struct Stream {
  std::string label;  // WxH of its pictures
  std::string file;   // the packets one after the other: a plain Annex-B stream for ffmpeg
  std::vector<std::vector<char>> packets;
};

std::vector<Stream> gStreams;

// A surface of the same size that keeps nothing: what the conversion costs without the copy.
class NullSurface final : public VideoSurface {
 public:
  void GetSize(int* width, int* height) const override {
    *width = kSurfaceWidth;
    *height = kSurfaceHeight;
  }
  void Present(const unsigned char* bgr, int, int, int) override { benchmark::DoNotOptimize(bgr); }
};

bool WriteCard(const std::string& tool, const fs::path& dir, const char* size) {
  if (fs::exists(dir / "VEX")) return true;
  const std::string cmd = "'" + tool + "' '" + dir.string() +
                          "' --seconds 20 --count 1 --kinds REC --rear no --no-damaged --front " +
                          size + " > /dev/null";
  return std::system(cmd.c_str()) == 0;
}

// Reads the front packets of every recording of a card through the card library.
bool ReadCard(const fs::path& card, const fs::path& outDir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(card / "VEX")) {
    if (entry.path().extension() == ".vex") names.push_back(entry.path().stem().string());
  }
  VexHandle lib = VexStart();
  VexInitialise(lib, card.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  std::vector<char> buf(1048576);
  for (const std::string& stem : names) {
    const std::string name = stem + ".avi";
    const int kind = stem.rfind("EVENT", 0) == 0     ? kVexEvent
                     : stem.rfind("PARKING", 0) == 0 ? kVexParking
                     : stem.rfind("MANUAL", 0) == 0  ? kVexManual
                                                     : kVexContinuous;
    const int id = VexSelectByName(lib, kind, name.c_str());
    if (id < 0 || !VexOpenStream(lib, kind, 0, id)) continue;
    Stream s;
    for (int notYet = 0; notYet < 5000;) {
      std::uint8_t channel = 0, type = 0, flags = 0;
      std::int32_t ms = 0;
      int size = int(buf.size());
      const int rc = VexReadPacket(lib, &channel, &type, &flags, &size, buf.data(), &ms);
      if (rc == kVexReadNotYet) {
        ++notYet;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (rc != kVexReadOk) break;
      if (channel == 0 && (type == 0 || type == 2))
        s.packets.emplace_back(buf.begin(), buf.begin() + size);
    }
    if (s.packets.empty()) continue;
    CFFMH264_Decoder probe;
    int w = 0, h = 0;
    if (probe.Init() && probe.Decode(s.packets[0].data(), int(s.packets[0].size())))
      probe.GetPictureSize(&w, &h);
    s.label = std::to_string(w) + "x" + std::to_string(h);
    s.file = (outDir / (stem + "-" + s.label + "-front.h264")).string();
    std::ofstream out(s.file, std::ios::binary | std::ios::trunc);
    for (const auto& p : s.packets) out.write(p.data(), std::streamsize(p.size()));
    if (!out) continue;
    gStreams.push_back(std::move(s));
  }
  VexRelease(lib);
  return !gStreams.empty();
}

void SetFrameRate(benchmark::State& state, std::int64_t frames) {
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}

// draw: 0 decode only, 1 draw to a surface that keeps nothing, 2 draw to a recording surface.
void DecodeStream(benchmark::State& state, const Stream* s, int draw) {
  CDecoder decoder;
  decoder.Init();
  CRecordingSurface recorder(kSurfaceWidth, kSurfaceHeight, false);
  NullSurface discard;
  VideoSurface* surface = draw == 2 ? static_cast<VideoSurface*>(&recorder) : &discard;
  std::int64_t frames = 0;
  for (auto _ : state) {
    decoder.ResetPictures();
    for (const auto& p : s->packets) {
      if (!decoder.DecodeAndShow(0, surface, p.data(), int(p.size()), draw != 0)) {
        state.SkipWithError("a picture did not decode");
        return;
      }
    }
    frames += std::int64_t(s->packets.size());
    recorder.Clear();
  }
  decoder.Release();
  SetFrameRate(state, frames);
}

// What the recording surface itself costs per picture (it digests every pixel it is shown).
void RecordingSurfacePresent(benchmark::State& state) {
  CRecordingSurface recorder(kSurfaceWidth, kSurfaceHeight, false);
  std::vector<unsigned char> picture(std::size_t(kSurfaceWidth) * kSurfaceHeight * 3, 128);
  std::int64_t frames = 0;
  for (auto _ : state) {
    recorder.Present(picture.data(), kSurfaceWidth, kSurfaceHeight, kSurfaceWidth * 3);
    if (++frames % 1000 == 0) recorder.Clear();
  }
  SetFrameRate(state, frames);
}

// Times the ffmpeg command line; the start-up of the program is part of its figure.
void FFmpegCli(benchmark::State& state, const Stream* s, const char* extra) {
  const std::string cmd = std::string("ffmpeg -nostdin -hide_banner -loglevel error -threads 1 ") +
                          "-i '" + s->file + "' -vf scale=" + std::to_string(kSurfaceWidth) + ":" +
                          std::to_string(kSurfaceHeight) + extra +
                          " -pix_fmt bgr24 -f null - > /dev/null";
  std::int64_t frames = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(cmd.c_str());
    const auto t1 = std::chrono::steady_clock::now();
    if (rc != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    frames += std::int64_t(s->packets.size());
  }
  SetFrameRate(state, frames);
}

void Register() {
  benchmark::RegisterBenchmark("RecordingSurfacePresent", RecordingSurfacePresent)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  for (const Stream& s : gStreams) {
    const Stream* p = &s;
    benchmark::RegisterBenchmark(("DecodeOnly/" + s.label).c_str(), DecodeStream, p, 0)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("DecodeAndConvert/" + s.label).c_str(), DecodeStream, p, 1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("DecodeAndPresent/" + s.label).c_str(), DecodeStream, p, 2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("FFmpegCli/" + s.label).c_str(), FFmpegCli, p, "")
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("FFmpegCliFastBilinear/" + s.label).c_str(), FFmpegCli, p,
                                 ":flags=fast_bilinear")
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->MinTime(2.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::string card = bench::TakeCardOption(argc, argv, &rest);
  av_log_set_level(AV_LOG_ERROR);
  const fs::path work = fs::temp_directory_path() / "roadeye-bench-decode";
  std::error_code ec;
  fs::create_directories(work, ec);
  bool ok = false;
  if (!card.empty()) {
    ok = ReadCard(card, work);
  } else {
    const std::string tool = (fs::path(argv[0]).parent_path() / "roadeye-mkcard").string();
    ok = WriteCard(tool, work / "card-1080", "1920x1080") &&
         WriteCard(tool, work / "card-720", "1280x720") && ReadCard(work / "card-1080", work) &&
         ReadCard(work / "card-720", work);
  }
  if (!ok) {
    std::fprintf(stderr, "no recording to measure (card: %s)\n",
                 card.empty() ? work.c_str() : card.c_str());
    return 1;
  }
  for (const Stream& s : gStreams) {
    std::printf("stream %s: %zu pictures, %s\n", s.label.c_str(), s.packets.size(), s.file.c_str());
  }
  Register();
  int n = int(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
