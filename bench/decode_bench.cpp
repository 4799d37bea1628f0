// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures per second of the video decoder (decode, scale and convert to RGB, present) on
// the front streams of camera-like recordings, shown on a 640x360 surface, beside the ffmpeg
// command line doing the same work on the same stream with the same number of decoder threads:
//
//   ffmpeg -threads N -i front.h264 -vf scale=640:360:flags=fast_bilinear -pix_fmt rgb24 -f null -
//
//   roadeye-decode_bench [--card DIR] [--synthetic] [--h265] [google benchmark flags]
//
// Without --card three 10-second realistic cards (roadeye-mkcard --realistic: High profile, a key
// picture each second, a constant bit rate) are written into the temporary folder first and kept
// for the next run: 1280x720 at 8000 kbit/s, 1920x1080 at 12000 and 3840x2160 at 20000. With
// --synthetic the two 20-second cards of the plain drawn scene (1920x1080 and 1280x720, constant
// quality) are measured too. With --h265 two realistic H.265 cards of another family are, instead
// (roadeye-mkcard --family generic --codec h265: 1920x1080 at 12000 kbit/s and 3840x2160 at
// 20000), their front streams read through the container reader. With --card, the front stream
// of every recording on that card is.
//
// Rows, each with one and with two decoder threads: DecodeOnly (decoding alone), DecodeAndPresent
// (the whole draw to a recording surface, as the engine draws) and FFmpegCli (the command line
// above). Each row's frames_per_s counter is the figure to compare; the table printed at the end
// gives our decode-and-present rate over ffmpeg's. ffmpeg's time is its own transcoding time
// (-benchmark's rtime: the decoder opened, every picture decoded, scaled and converted), without
// the program's start-up and the probing of its input. RecordingSurfacePresent gives what the
// recording surface's own pixel digest costs per picture, which DecodeAndPresent includes.
extern "C" {
#include <libavutil/log.h>
}

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCard.h"
#include "cards/CardListing.h"
#include "media/CContainerParser.h"
#include "playback/CDecoder.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/HardwareDecoding.h"
#include "playback/RecordingSurface.h"
#include "vexlib/PicturePackets.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSurfaceWidth = 640;
constexpr int kSurfaceHeight = 360;
// The pixel format the decoder hands a pane, as ffmpeg names it.
constexpr const char* kPaneFormat = "rgb24";
// Decoder threads of the rows: one, and the two the viewer uses on a computer of two cores.
constexpr int kThreadCounts[] = {1, 2};

struct Stream {
  std::string label;  // WxH of its pictures, with what kind of card it came from
  std::string file;   // the packets one after the other: a plain Annex-B stream for ffmpeg
  std::vector<std::vector<char>> packets;
  VideoCodec codec = VideoCodec::kH264;
};

std::vector<Stream> gStreams;

// The realistic cards written without --card: picture size and constant bit rate.
struct RealisticCard {
  const char* size;
  int kbps;
};
constexpr RealisticCard kRealistic[] = {
    {"1280x720", 8000}, {"1920x1080", 12000}, {"3840x2160", 20000}};
constexpr int kRealisticSeconds = 10;

// Reads the front packets of every recording of a card through the card library.
bool ReadCard(const fs::path& card, const fs::path& outDir, const std::string& kind) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(card / "VEX", ec)) {
    if (entry.path().extension() == ".vex") names.push_back(entry.path().stem().string());
  }
  VexHandle lib = bench::StartCardLibrary(card.string());
  bool any = false;
  for (const std::string& stem : names) {
    const std::string name = stem + ".avi";
    const int type = bench::KindOfName(stem);
    const int id = VexSelectByName(lib, type, name.c_str());
    if (id < 0 || !VexOpenStream(lib, type, 0, id)) continue;
    Stream s;
    vex::ForEachPicturePacket(lib, [&](int channel, const char* data, int size) {
      if (channel == 0) s.packets.emplace_back(data, data + size);
      return true;
    });
    if (s.packets.empty()) continue;
    CFFMH264_Decoder probe;
    int w = 0, h = 0;
    if (probe.Init() && probe.Decode(s.packets[0].data(), int(s.packets[0].size())))
      probe.GetPictureSize(&w, &h);
    s.label = kind + "-" + std::to_string(w) + "x" + std::to_string(h);
    s.file = (outDir / (s.label + "-" + stem + "-front.h264")).string();
    std::ofstream out(s.file, std::ios::binary | std::ios::trunc);
    for (const auto& p : s.packets) out.write(p.data(), std::streamsize(p.size()));
    if (!out) continue;
    gStreams.push_back(std::move(s));
    any = true;
  }
  VexRelease(lib);
  return any;
}

// Reads the front packets of the first recording of another family's card through the container
// reader.
bool ReadFamilyCard(const fs::path& card, const fs::path& outDir, const std::string& kind) {
  const cards::CardScan scan = cards::ScanCard(card.string());
  if (scan.recordings.empty() || scan.recordings[0].files.empty()) return false;
  const std::string path = (card / scan.recordings[0].files[0].path).string();
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  if (parser.Open(ContainerRecordingName({path}).c_str(), &info) != 1) return false;
  Stream s;
  s.codec = parser.GetVideoCodec(0);
  int size[2];
  parser.GetVideoSize(size, 0);
  std::vector<char> buffer(kPacketBufferSize);
  for (;;) {
    char tag[8] = {};
    int n = kPacketBufferSize;
    if (parser.ReadPacket(tag, buffer.data(), &n) < 0) break;
    if (ClassifyChunkTag(tag) == ChunkKind::kFrontVideo) {
      s.packets.emplace_back(buffer.data(), buffer.data() + n);
    }
  }
  parser.Stop();
  if (s.packets.empty()) return false;
  const bool hevc = s.codec == VideoCodec::kH265;
  s.label =
      kind + (hevc ? "-h265-" : "-h264-") + std::to_string(size[0]) + "x" + std::to_string(size[1]);
  s.file = (outDir / (s.label + "-front" + (hevc ? ".hevc" : ".h264"))).string();
  std::ofstream out(s.file, std::ios::binary | std::ios::trunc);
  for (const auto& p : s.packets) out.write(p.data(), std::streamsize(p.size()));
  if (!out) return false;
  gStreams.push_back(std::move(s));
  return true;
}

void SetFrameRate(benchmark::State& state, std::int64_t frames) {
  state.counters["frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}

// Decodes the stream from its first picture each pass with `threads` decoder threads; with draw,
// presents every picture on a recording surface as the engine does. As the engine does, each
// packet's successor is named to the decoder before the packet is decoded.
void DecodeStream(benchmark::State& state, const Stream* s, bool draw, int threads) {
  CDecoder decoder;
  // libavcodec's own decoder, as ffmpeg's command line uses, wherever a hardware path would open.
  decoder.SetDecoderChoice(DecoderChoice::kSoftware);
  decoder.SetThreads(threads);
  decoder.SetFrameThreadsAbove(0);  // the threads asked for at every size
  decoder.Init();
  decoder.SetCodec(0, s->codec);
  CRecordingSurface recorder(kSurfaceWidth, kSurfaceHeight, false);
  const std::size_t count = s->packets.size();
  std::int64_t frames = 0;
  for (auto _ : state) {
    decoder.ResetPictures();
    for (std::size_t i = 0; i < count; ++i) {
      if (i + 1 < count) {
        const auto& next = s->packets[i + 1];
        decoder.DecodeAhead(0, next.data(), int(next.size()));
      }
      const auto& p = s->packets[i];
      if (!decoder.DecodeAndShow(0, &recorder, p.data(), int(p.size()), draw)) {
        state.SkipWithError("a picture did not decode");
        return;
      }
    }
    frames += std::int64_t(count);
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

struct PipeClose {
  void operator()(std::FILE* f) const { pclose(f); }
};

// Runs the ffmpeg command line and takes its own transcoding time ("bench: ... rtime=S s") and
// the count of pictures it wrote ("frame= N"); false when it failed or said neither.
bool RunFFmpeg(const std::string& cmd, double* seconds, long* frames) {
  std::unique_ptr<std::FILE, PipeClose> out(popen(cmd.c_str(), "r"));
  if (!out) return false;
  *seconds = -1;
  *frames = -1;
  char line[512];
  // ffmpeg ends its progress lines with a carriage return: the last one names the pictures.
  while (std::fgets(line, sizeof line, out.get())) {
    for (char* at = line; (at = std::strstr(at, "frame=")) != nullptr; at += 6) {
      *frames = std::strtol(at + 6, nullptr, 10);
    }
    if (const char* at = std::strstr(line, "rtime=")) *seconds = std::strtod(at + 6, nullptr);
  }
  const int rc = pclose(out.release());
  return rc == 0 && *seconds > 0 && *frames > 0;
}

void FFmpegCli(benchmark::State& state, const Stream* s, int threads) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -nostats -benchmark -threads " +
                          std::to_string(threads) + " -i '" + s->file +
                          "' -vf scale=" + std::to_string(kSurfaceWidth) + ":" +
                          std::to_string(kSurfaceHeight) + ":flags=fast_bilinear -pix_fmt " +
                          kPaneFormat + " -f null - 2>&1";
  std::int64_t frames = 0;
  for (auto _ : state) {
    double seconds = 0;
    long wrote = 0;
    if (!RunFFmpeg(cmd, &seconds, &wrote)) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    if (wrote != long(s->packets.size())) {
      state.SkipWithError("ffmpeg wrote another count of pictures than the stream holds");
      return;
    }
    state.SetIterationTime(seconds);
    frames += wrote;
  }
  SetFrameRate(state, frames);
}

std::string RowName(const char* row, const Stream& s, int threads) {
  return std::string(row) + "/" + s.label + "/threads:" + std::to_string(threads);
}

void Register() {
  benchmark::RegisterBenchmark("RecordingSurfacePresent", RecordingSurfacePresent)
      ->Unit(benchmark::kMicrosecond)
      ->UseRealTime();
  for (const Stream& s : gStreams) {
    const Stream* p = &s;
    for (int threads : kThreadCounts) {
      benchmark::RegisterBenchmark(RowName("DecodeOnly", s, threads).c_str(), DecodeStream, p,
                                   false, threads)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(2.0);
      benchmark::RegisterBenchmark(RowName("DecodeAndPresent", s, threads).c_str(), DecodeStream, p,
                                   true, threads)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(2.0);
      benchmark::RegisterBenchmark(RowName("FFmpegCli", s, threads).c_str(), FFmpegCli, p, threads)
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime()
          ->MinTime(2.0);
    }
  }
}

// Reports as the console does and keeps each row's frames_per_s for the table of ratios.
class RateReporter final : public benchmark::ConsoleReporter {
 public:
  // In colour on a terminal only, as the library's own console output.
  RateReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions, the mean stands for the row; a single run stands for itself.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
      const auto it = run.counters.find("frames_per_s");
      if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

void PrintRatios(const std::map<std::string, double>& rates) {
  std::printf("\n%-26s %7s %16s %10s %7s\n", "stream", "threads", "decode+present/s", "ffmpeg/s",
              "ratio");
  for (const Stream& s : gStreams) {
    for (int threads : kThreadCounts) {
      const auto ours = rates.find(RowName("DecodeAndPresent", s, threads));
      const auto theirs = rates.find(RowName("FFmpegCli", s, threads));
      if (ours == rates.end() || theirs == rates.end() || theirs->second <= 0) continue;
      std::printf("%-26s %7d %16.1f %10.1f %7.2f\n", s.label.c_str(), threads, ours->second,
                  theirs->second, ours->second / theirs->second);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  std::string card = bench::TakeCardOption(argc, argv, &args);
  bool synthetic = false, hevc = false;
  std::vector<char*> rest;
  for (char* a : args) {
    if (std::strcmp(a, "--h265") == 0) {
      hevc = true;
    } else if (std::strcmp(a, "--synthetic") == 0) {
      synthetic = true;
    } else {
      rest.push_back(a);
    }
  }
  av_log_set_level(AV_LOG_ERROR);
  const fs::path work = fs::temp_directory_path() / "roadeye-bench-decode";
  std::error_code ec;
  fs::create_directories(work, ec);
  bool ok = true;
  if (!card.empty()) {
    ok = ReadCard(card, work, "card");
  } else if (hevc) {
    for (const RealisticCard& c : kRealistic) {
      if (std::strcmp(c.size, "1280x720") == 0) continue;
      const fs::path dir =
          work / ("realistic-h265-" + std::string(c.size) + "-" + std::to_string(c.kbps));
      const std::string options = "--family generic --codec h265 --seconds " +
                                  std::to_string(kRealisticSeconds) +
                                  " --count 1 --kinds REC --rear no --no-damaged --realistic "
                                  "--jobs 1 --front " +
                                  c.size + " --bitrate " + std::to_string(c.kbps);
      ok = ok && bench::WriteCardOnce(argv[0], dir, options) &&
           ReadFamilyCard(dir, work, "realistic-" + std::to_string(c.kbps / 1000) + "M");
    }
  } else {
    for (const RealisticCard& c : kRealistic) {
      const fs::path dir =
          work / ("realistic-" + std::string(c.size) + "-" + std::to_string(c.kbps));
      // One recording at a time: 4K pictures take the encoder about two seconds a second.
      const std::string options = "--seconds " + std::to_string(kRealisticSeconds) +
                                  " --count 1 --kinds REC --rear no --no-damaged --realistic "
                                  "--jobs 1 --front " +
                                  c.size + " --bitrate " + std::to_string(c.kbps);
      ok = ok && bench::WriteCardOnce(argv[0], dir, options) &&
           ReadCard(dir, work, "realistic-" + std::to_string(c.kbps / 1000) + "M");
    }
    for (const char* size : {"1920x1080", "1280x720"}) {
      if (!synthetic) break;
      const fs::path dir = work / ("card-" + std::string(std::strchr(size, 'x') + 1));
      ok = ok &&
           bench::WriteCardOnce(argv[0], dir,
                                std::string("--seconds 20 --count 1 --kinds REC --rear no "
                                            "--no-damaged --front ") +
                                    size) &&
           ReadCard(dir, work, "synthetic");
    }
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
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatios(reporter.rates);
  benchmark::Shutdown();
  return 0;
}
