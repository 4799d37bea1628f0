// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time playback of a two-camera recording through the whole engine: whether every picture
// was presented once, the interval between front pictures (mean and standard deviation), CPU time
// per second played, peak resident memory, and, with the SDL disk sound driver, the offset between
// each beep and the flash presented with it.
//
//   roadeye-playback_bench [--card DIR] [--seconds N] [--seeks] [--realistic-4k]
//                          [--family NAME [--codec h264|h265] [--container mp4|mov|ts]]
//                          [--pulse [--pulse-server ADDRESS] [--no-latency-correction]]
//                          [--trip N] [--rear-late MS] [--every-picture]
//
// With --trip N the card holds N two-camera driving recordings of --seconds each (10 by default)
// back to back (roadeye-mkcard --continuous), played as one trip; a line then tells of the joins:
// how many, the longest interval between front pictures from the one before a join to a second
// after it, the pictures repeated and never shown over the trip, and picture minus sound at the
// flashes in the second after each join, front and rear together.
//
// With --family the card is one of another camera family (roadeye-mkcard --family), its
// recording's first two cameras read by the container reader; the rear camera's flashes are
// matched with the beeps as well as the front's. With --rear-late the rear camera's files start MS
// ms after the front camera's (roadeye-mkcard --rear-late), its flashes still at the beeps' times.
//
// By default the recording is a 60-second one of the plain drawn scene (1280x720 + 640x360) shown
// on 320x180 surfaces. With --realistic-4k it is a 30-second camera-like one (roadeye-mkcard
// --realistic: 3840x2160 front at 20000 kbit/s, 1920x1080 rear, 30 pictures per second each) shown
// on 640x360 surfaces. Either is written into the temporary folder the first time and kept.
//
// Pictures that come more than a period after their sound are decoded unseen, and the rear
// camera's give way first, as in the viewer's window (CNOVMediaPlayer::SetDropLatePictures); a
// line tells how many. With --every-picture every picture is shown, however late.
//
// With --seeks the recording is sought while it plays, forwards and backwards, five times; the
// offsets of the first flash and beep after each seek are reported apart from the others.
//
// Which pictures were presented: each surface keeps a digest of every picture it is shown (no
// pixels). After playing, the recording is decoded once more on its own at the surfaces' size, and
// each presented digest is looked up among the recording's own pictures: a picture presented
// twice, one never presented, and one shown that is none of the recording's (such as the black
// before the first) are counted. The scene's sensor grain makes every picture differ from the one
// before it.
//
// Sound goes to SDL's disk driver: it plays in real time into a file, whose growth tells when each
// sample was played (see playedAt for how the file's buffered growth is read). With --pulse it goes
// to a private PulseAudio server instead (bench/PulseBench.h), through SDL's pulseaudio driver
// into a null sink whose monitor is recorded: each beep is timed as the sink played it, past the
// server's buffers. --pulse-server plays into a running server instead (its default sink; a
// desktop's PipeWire, say). --no-latency-correction has the media clock ignore the server's
// latency, for the figures before the correction.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bench/BenchCard.h"
#include "bench/BenchClock.h"
#if ROADEYE_BENCH_PULSE
#include "bench/PulseBench.h"
#endif
#include "cards/CardListing.h"
#include "media/CContainerParser.h"
#include "media/CRecordingParser.h"
#include "media/CTripParser.h"
#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/VideoSurface.h"
#include "support/Diag.h"
#include "vexlib/PicturePackets.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

using bench::CpuSeconds;
using bench::NowMs;

struct End {
  std::mutex lock;
  std::condition_variable cv;
  bool ended = false;
};

void OnEvent(void* user, int code, int, int) {
  if (code != CNOVMediaPlayer::kEventEnded) return;
  auto* e = static_cast<End*>(user);
  std::lock_guard<std::mutex> hold(e->lock);
  e->ended = true;
  e->cv.notify_all();
}

// The card tool's flash: a square of 96 pixels in the top-right corner of the front picture, as a
// part of the width and height of the largest front picture (3840x2160). On smaller pictures the
// square covers more, so a corner of this size always lies inside it.
constexpr double kFlashX = 96.0 / 3840, kFlashY = 96.0 / 2160;

// Notes when each picture came, a digest of its pixels and how bright the flash's corner was,
// keeping no pixels, so that the memory figure is the engine's own.
class FlashSurface final : public VideoSurface {
 public:
  FlashSurface(int w, int h) : w_(w), h_(h) {}
  void GetSize(int* w, int* h) const override {
    *w = w_;
    *h = h_;
  }
  void Present(const unsigned char* pixels, int width, int height, int stride) override {
    const std::uint64_t digest = Digest(pixels, width, height, stride);
    // Three quarters of the square, clear of the edge the scaler blurs.
    const int cw = std::max(1, int(width * kFlashX * 0.75));
    const int ch = std::max(1, int(height * kFlashY * 0.75));
    double sum = 0;
    for (int y = 0; y < ch; ++y) {
      const unsigned char* row = pixels + std::size_t(y) * std::size_t(stride);
      for (int x = width - cw; x < width; ++x)
        sum += (row[x * 3] + row[x * 3 + 1] + row[x * 3 + 2]) / 3.0;
    }
    std::lock_guard<std::mutex> hold(lock_);
    times.push_back(NowMs());
    corners.push_back(sum / (cw * ch));
    digests.push_back(digest);
  }

  // A 64-bit digest of a picture's pixels, row by row.
  static std::uint64_t Digest(const unsigned char* pixels, int width, int height, int stride) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    const std::size_t rowBytes = std::size_t(width) * 3;
    for (int y = 0; y < height; ++y) {
      const unsigned char* row = pixels + std::size_t(y) * std::size_t(stride);
      std::size_t x = 0;
      for (; x + 8 <= rowBytes; x += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + x, 8);
        h = (h ^ word) * 0x100000001b3ull;
        h ^= h >> 29;
      }
      for (; x < rowBytes; ++x) h = (h ^ row[x]) * 0x100000001b3ull;
    }
    return h;
  }

  std::mutex lock_;
  std::vector<double> times, corners;
  std::vector<std::uint64_t> digests;

 private:
  int w_, h_;
};

// A surface that keeps only the digest of the one picture it was last shown.
class DigestSurface final : public VideoSurface {
 public:
  DigestSurface(int w, int h) : w_(w), h_(h) {}
  void GetSize(int* w, int* h) const override {
    *w = w_;
    *h = h_;
  }
  void Present(const unsigned char* pixels, int width, int height, int stride) override {
    digest = FlashSurface::Digest(pixels, width, height, stride);
  }
  std::uint64_t digest = 0;

 private:
  int w_, h_;
};

// The digests of a recording's own pictures of one camera, decoded in file order on a surface of
// the given size.
struct Reference {
  std::vector<std::uint64_t> front, rear;
};

// The same for another camera's recording, read by the container reader.
bool DecodeFamilyReference(const std::string& name, int w, int h, Reference* out) {
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  if (parser.Open(name.c_str(), &info) != 1) return false;
  CDecoder decoder;
  decoder.SetThreads(1);
  decoder.Init();
  decoder.SetCodec(0, parser.GetVideoCodec(0));
  decoder.SetCodec(1, parser.GetVideoCodec(1));
  DigestSurface surface(w, h);
  std::vector<char> buffer(kPacketBufferSize);
  bool ok = true;
  for (;;) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (parser.ReadPacket(tag, buffer.data(), &size) < 0) break;
    const ChunkKind kind = ClassifyChunkTag(tag);
    if (kind != ChunkKind::kFrontVideo && kind != ChunkKind::kRearVideo) continue;
    const int channel = kind == ChunkKind::kFrontVideo ? 0 : 1;
    if (!decoder.DecodeAndShow(channel, &surface, buffer.data(), size, true)) ok = false;
    (channel == 0 ? out->front : out->rear).push_back(surface.digest);
  }
  decoder.Release();
  parser.Stop();
  return ok && !out->front.empty();
}

// Another family's card's recordings as the engine opens them, oldest first: their first two
// cameras each.
std::vector<std::string> FamilyRecordingNames(const std::string& card) {
  std::vector<std::string> names;
  for (const cards::CardRecording& r : cards::ScanCard(card).recordings) {
    std::vector<std::string> paths;
    for (const cards::CameraFile& f : r.files) {
      if (paths.size() < 2) paths.push_back(card + "/" + f.path);
    }
    names.push_back(ContainerRecordingName(paths));
  }
  return names;
}

bool DecodeReference(const std::string& card, const std::string& stem, int w, int h,
                     Reference* out) {
  VexHandle lib = bench::StartCardLibrary(card);
  const int kind = bench::KindOfName(stem);
  const int id = VexSelectByName(lib, kind, (stem + ".avi").c_str());
  bool ok = id >= 0 && VexOpenStream(lib, kind, 0, id);
  // One thread, so that each picture comes out of its own packet whichever camera's packet
  // follows; the engine's (default) decoder choice, so that the pixels are the ones it presented.
  CDecoder decoder;
  decoder.SetThreads(1);
  decoder.Init();
  DigestSurface surface(w, h);
  if (ok) {
    vex::ForEachPicturePacket(lib, [&](int channel, const char* data, int size) {
      if (channel > 1) return true;
      if (!decoder.DecodeAndShow(channel, &surface, data, size, true)) ok = false;
      (channel == 0 ? out->front : out->rear).push_back(surface.digest);
      return ok;
    });
  }
  decoder.Release();
  VexRelease(lib);
  return ok && !out->front.empty();
}

// How the pictures presented on a surface match a camera's own pictures.
struct Coverage {
  std::size_t inRecording = 0, presented = 0;
  std::size_t once = 0, repeats = 0, never = 0, foreign = 0, outOfOrder = 0;
};

Coverage Match(const std::vector<std::uint64_t>& reference,
               const std::vector<std::uint64_t>& shown) {
  Coverage c;
  c.inRecording = reference.size();
  c.presented = shown.size();
  std::unordered_map<std::uint64_t, std::size_t> index;
  for (std::size_t i = 0; i < reference.size(); ++i) index.emplace(reference[i], i);
  std::vector<int> times(reference.size(), 0);
  long last = -1;
  for (std::uint64_t d : shown) {
    const auto it = index.find(d);
    if (it == index.end()) {
      ++c.foreign;
      continue;
    }
    if (long(it->second) < last) ++c.outOfOrder;
    last = long(it->second);
    ++times[it->second];
  }
  for (int t : times) {
    if (t == 0) ++c.never;
    if (t == 1) ++c.once;
    if (t > 1) c.repeats += std::size_t(t - 1);
  }
  return c;
}

void PrintCoverage(const char* camera, const Coverage& c) {
  std::printf(
      "%s pictures: %zu in the recording, %zu presented; %zu once, %zu never, %zu repeated "
      "presentations, %zu out of order, %zu not of the recording\n",
      camera, c.inRecording, c.presented, c.once, c.never, c.repeats, c.outOfOrder, c.foreign);
}

// The process's peak resident memory in kB (VmHWM), 0 where /proc does not say.
long PeakResidentKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  long kb = 0;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(f);
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  std::string card;
  int seconds = 0;  // the case's own length: 60 s, or 30 s for --realistic-4k
  bool seeks = false, realistic = false, pulse = false, correction = true, everyPicture = false;
  std::string pulseServer, family, codec, container, rearLate;
  int tripRecordings = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--trip" && i + 1 < argc) tripRecordings = std::atoi(argv[++i]);
    if (a == "--family" && i + 1 < argc) family = argv[++i];
    if (a == "--codec" && i + 1 < argc) codec = argv[++i];
    if (a == "--container" && i + 1 < argc) container = argv[++i];
    if (a == "--rear-late" && i + 1 < argc) rearLate = argv[++i];
    if (a == "--card" && i + 1 < argc) card = argv[++i];
    if (a == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
    if (a == "--seeks") seeks = true;
    if (a == "--every-picture") everyPicture = true;
    if (a == "--realistic-4k") realistic = true;
    if (a == "--pulse") pulse = true;
    if (a == "--no-latency-correction") correction = false;
    if (a == "--pulse-server" && i + 1 < argc) pulseServer = argv[++i];
  }
  if (tripRecordings < 0 || tripRecordings > 100 || (tripRecordings > 0 && realistic)) {
    std::fprintf(stderr, "--trip takes 1 to 100 recordings, of the drawn scene\n");
    return 2;
  }
  if (!rearLate.empty() && (family.empty() || rearLate.size() > 4 ||
                            rearLate.find_first_not_of("0123456789") != std::string::npos)) {
    std::fprintf(stderr, "--rear-late takes a number of ms, with --family\n");
    return 2;
  }
  if (seconds == 0) seconds = realistic ? 30 : tripRecordings > 0 ? 10 : 60;
  if (seconds < 1 || seconds > 3600) {
    std::fprintf(stderr, "--seconds takes 1 to 3600\n");
    return 2;
  }
  // The surfaces: the small panes of the default case; for 4K pictures the size of the player
  // window's picture pane, which the decode benchmark draws to as well.
  const int surfaceW = realistic ? 640 : 320, surfaceH = realistic ? 360 : 180;
  fs::path work = fs::temp_directory_path() / "roadeye-playback-bench";
  fs::create_directories(work);
  // Another family's card: its name and options, passed to the card tool.
  std::string familyOptions, familyTag;
  if (!family.empty()) {
    familyOptions = " --family " + family;
    familyTag = "-" + family;
    if (!codec.empty()) familyOptions += " --codec " + codec, familyTag += "-" + codec;
    if (!container.empty())
      familyOptions += " --container " + container, familyTag += "-" + container;
    if (!rearLate.empty())
      familyOptions += " --rear-late " + rearLate, familyTag += "-late" + rearLate;
  }
  if (card.empty()) {
    if (realistic) {
      // One recording at a time: 4K pictures take the encoder about two seconds a second.
      card = (work / ("realistic-4k-" + std::to_string(seconds) + familyTag)).string();
      const std::string options = "--seconds " + std::to_string(seconds) +
                                  " --count 1 --kinds REC --rear yes --no-damaged --realistic "
                                  "--jobs 1 --front 3840x2160 --rear-size 1920x1080 "
                                  "--bitrate 20000" +
                                  familyOptions;
      if (!bench::WriteCardOnce(argv[0], card, options)) return 1;
    } else if (tripRecordings > 0) {
      card = (work / ("trip" + familyTag + "-" + std::to_string(tripRecordings) + "x" +
                      std::to_string(seconds)))
                 .string();
      const std::string options =
          "--seconds " + std::to_string(seconds) + " --count " + std::to_string(tripRecordings) +
          " --continuous --kinds REC --rear yes --no-damaged" + familyOptions;
      if (!bench::WriteCardOnce(argv[0], card, options)) return 1;
    } else {
      card = (work / ("card" + familyTag + "-" + std::to_string(seconds))).string();
      const std::string options = "--seconds " + std::to_string(seconds) +
                                  " --count 1 --kinds REC --rear yes --no-damaged" + familyOptions;
      if (!bench::WriteCardOnce(argv[0], card, options)) return 1;
    }
  }
  std::string stem, name;
  // The trip's recordings, each as the engine opens it alone (and the VEX ones' stems).
  std::vector<std::string> tripNames, tripStems;
  if (family.empty()) {
    for (const auto& e : fs::directory_iterator(fs::path(card) / "VEX"))
      tripStems.push_back(stem = e.path().stem().string());
    std::sort(tripStems.begin(), tripStems.end());
    for (const std::string& s : tripStems) tripNames.push_back("/" + s + ".avi");
    name = "/" + stem + ".avi";
  } else {
    tripNames = FamilyRecordingNames(card);
    name = tripNames.empty() ? std::string() : tripNames.front();
    if (name.empty()) {
      std::fprintf(stderr, "no recording on %s\n", card.c_str());
      return 1;
    }
  }
  if (tripRecordings > 0) name = TripRecordingName(tripNames);

  std::string soundFile = (work / "played.s16le").string();
  fs::remove(soundFile);
#if ROADEYE_BENCH_PULSE
  bench::PulseSound server;
  if (pulse) {
    bench::PulseSound::SetCorrection(correction);
    if (!server.Start(pulseServer)) {
      std::fprintf(stderr, "--pulse: %s\n", server.why().c_str());
      return 1;
    }
  }
#else
  if (pulse) {
    std::fprintf(stderr, "--pulse: this build has no libpulse\n");
    return 2;
  }
#endif
  if (!pulse) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", soundFile.c_str(), 1);
  }
  DiagSetOutput(nullptr);

  // Two readers that take turns at a trip's joins, each with a library handle of its own.
  VexHandle lib = family.empty() ? bench::StartCardLibrary(card) : VexStart();
  VexHandle lib2 = family.empty() ? bench::StartCardLibrary(card) : VexStart();
  CVEXParser vexParser, vexParser2;
  vexParser.SetLibraryHandle(lib);
  vexParser2.SetLibraryHandle(lib2);
  CContainerParser containerParser, containerParser2;
  CRecordingParser first(&vexParser, &containerParser), second(&vexParser2, &containerParser2);
  CTripParser parser(&first, &second);
  CDecoder decoder;
  CWaveBox audio;
  FlashSurface front(surfaceW, surfaceH), rear(surfaceW, surfaceH);
  CNOVMediaPlayer engine;
  End end;
  engine.SetParser(&parser);
  engine.SetDecoder(&decoder);
  engine.SetAudio(&audio);
  engine.SetEventCallback(&OnEvent, &end);
  // As the viewer's window plays: late pictures give way, unless every one is to be shown.
  engine.SetDropLatePictures(!everyPicture);
  engine.Run(&front, &rear);

  // Watch the sound file grow: (time, bytes) pairs map each sample to when it was played. On the
  // sound server, note the latency the clock takes off instead.
  std::atomic<bool> watching{true};
  std::vector<std::pair<double, long>> growth;
  std::vector<int> latencies;
  std::thread watcher([&] {
    long last = -1;
    while (watching && pulse) {
      const int us = audio.OutputLatencyMicros();
      if (us >= 0) latencies.push_back(us);
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    while (watching) {
      struct stat st {};
      long size = ::stat(soundFile.c_str(), &st) == 0 ? long(st.st_size) : 0;
      // A device opened again (another sound format) starts the file again: the growth before
      // belongs to sound that is not in the file.
      if (size < last) growth.clear();
      if (size != last) {
        growth.emplace_back(NowMs(), size);
        last = size;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });

  // Seeks while playing: when the position reaches the first time, to the second (ms); each at a
  // time that is not a whole second, so that sound from before the seek is still on its way.
  const std::vector<std::pair<int, int>> plan = {
      {2600, 7000}, {9600, 20000}, {22600, 12000}, {14600, 40000}, {42600, 50000}};
  std::vector<double> seekTimes;
  std::atomic<bool> seeking{seeks};
  std::thread seeker([&] {
    for (const auto& [at, to] : plan) {
      while (seeking && engine.GetPositionMs() < at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (!seeking) return;
      seekTimes.push_back(NowMs());
      engine.SeekToMs(to);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });

  double cpu0 = CpuSeconds(), t0 = NowMs();
  engine.OpenMedia(name.c_str());
  {
    std::unique_lock<std::mutex> hold(end.lock);
    end.cv.wait_for(hold, std::chrono::seconds(seconds * 3 + 30), [&] { return end.ended; });
  }
  double wall = (NowMs() - t0) / 1000.0, cpu = CpuSeconds() - cpu0;
  seeking = false;
  seeker.join();
  watching = false;
  watcher.join();
  const std::vector<TripSegment> segments = parser.Segments();
  const int droppedFront = engine.GetDroppedPictures(0), droppedRear = engine.GetDroppedPictures(1);
  engine.Shutdown();
  VexRelease(lib);
  VexRelease(lib2);
  // Taken before the recording is decoded again for the digests, which holds decoders of its own.
  const long peakKb = PeakResidentKb();

  const std::vector<double>& times = front.times;
  std::vector<double> gaps;
  for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  double mean = 0, var = 0;
  for (double g : gaps) mean += g;
  mean /= std::max<std::size_t>(gaps.size(), 1);
  for (double g : gaps) var += (g - mean) * (g - mean);
  double sd = std::sqrt(var / std::max<std::size_t>(gaps.size(), 1));
  std::printf("recording %s: %zu front pictures presented in %.2f s\n", name.c_str(), times.size(),
              wall);
  std::printf(
      "interval between front pictures: mean %.2f ms (period %.2f ms, %+.2f %%), sd %.2f ms, max "
      "%.1f ms\n",
      mean, 1000.0 / 30, (mean - 1000.0 / 30) / (1000.0 / 30) * 100, sd,
      gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()));
  // How the intervals spread: pictures follow the sound device's blocks.
  int buckets[6] = {};
  for (double g : gaps)
    buckets[g < 10 ? 0 : g < 25 ? 1 : g < 31 ? 2 : g < 36 ? 3 : g < 60 ? 4 : 5]++;
  std::printf("intervals: <10 ms %d, 10-25 %d, 25-31 %d, 31-36 %d, 36-60 %d, >=60 %d\n", buckets[0],
              buckets[1], buckets[2], buckets[3], buckets[4], buckets[5]);
  // The first intervals apart: a start that bunches pictures shows here.
  std::printf("first intervals (ms):");
  for (std::size_t i = 0; i < std::min<std::size_t>(gaps.size(), 16); ++i)
    std::printf(" %.1f", gaps[i]);
  std::printf("\n");
  std::printf("CPU: %.3f s per second played; peak resident (VmHWM) %.1f MB\n", cpu / wall,
              peakKb / 1024.0);
  std::printf("dropped: front %d, rear %d%s\n", droppedFront, droppedRear,
              everyPicture ? " (--every-picture: none may be)" : "");
  Reference reference;
  Coverage frontCoverage;
  if (!seeks) {
    bool decoded = true;
    const std::size_t recordings = tripRecordings > 0 ? tripNames.size() : 1;
    for (std::size_t i = 0; i < recordings && decoded; ++i) {
      decoded = family.empty() ? DecodeReference(card, tripRecordings > 0 ? tripStems[i] : stem,
                                                 surfaceW, surfaceH, &reference)
                               : DecodeFamilyReference(tripRecordings > 0 ? tripNames[i] : name,
                                                       surfaceW, surfaceH, &reference);
    }
    if (decoded) {
      frontCoverage = Match(reference.front, front.digests);
      PrintCoverage("front", frontCoverage);
      PrintCoverage("rear", Match(reference.rear, rear.digests));
    } else {
      std::printf("the recording could not be decoded again for the digests\n");
    }
  }

  // Beeps in what was played: the first sample of each 1 kHz burst after quiet.
  std::FILE* f = std::fopen(soundFile.c_str(), "rb");
  std::vector<short> samples;
  if (f) {
    short buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, sizeof(short), 4096, f)) > 0)
      samples.insert(samples.end(), buf, buf + n);
    std::fclose(f);
  }
  std::vector<long> beeps;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) > 6000 && (beeps.empty() || long(i) - beeps.back() > 4000))
      beeps.push_back(long(i));
  }
  // SDL's disk driver writes each 32 ms device buffer as it starts playing it, through a
  // buffered stdio stream, so the file grows in chunks: the growth seen at t_j, to size b_j, is
  // the stream flushing as the device buffer that starts at byte b_j is written (checked against
  // SDL's own callback times). Earlier bytes of the chunk went out at the rate measured between
  // the chunks.
  auto playedAt = [&](long sample) {
    long byte = sample * 2;
    for (std::size_t j = 1; j < growth.size(); ++j) {
      if (growth[j].second <= byte) continue;
      double dt = growth[j].first - growth[j - 1].first;
      double db = double(growth[j].second - growth[j - 1].second);
      if (dt <= 0 || db <= 0) return -1.0;
      return growth[j].first - double(growth[j].second - byte) * dt / db;
    }
    return -1.0;
  };
  std::vector<double> flashes, rearFlashes;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (front.corners[i] > 200) flashes.push_back(times[i]);
  }
  for (std::size_t i = 0; i < rear.times.size(); ++i) {
    if (rear.corners[i] > 200) rearFlashes.push_back(rear.times[i]);
  }
  // Each flash with the beep heard nearest to it (beeps are a second apart).
  std::vector<double> beepTimes;
  for (long b : beeps) {
    const double t = playedAt(b);
    if (t > 0) beepTimes.push_back(t);
  }
#if ROADEYE_BENCH_PULSE
  if (pulse) {
    beepTimes = server.StopAndFindBeeps();
    beeps.assign(beepTimes.size(), 0);
    std::sort(latencies.begin(), latencies.end());
    std::printf("sound server (%s): latency correction %s; figure %s",
                pulseServer.empty() ? "private PulseAudio, null sink" : pulseServer.c_str(),
                correction ? "on" : "off", latencies.empty() ? "none" : "");
    if (!latencies.empty()) {
      std::printf("%.1f to %.1f ms, median %.1f ms", latencies.front() / 1000.0,
                  latencies.back() / 1000.0, latencies[latencies.size() / 2] / 1000.0);
    }
    std::printf("\n");
  }
#endif
  // Pairs within the first 1.5 s after a seek are counted apart: the seek lands on the key picture
  // of a whole second, whose own beep lies in the sound packet before it (not read again), so
  // the first pair is the next second's.
  std::vector<double> offsets, afterSeek;
  for (double flash : flashes) {
    double best = 1e9;
    for (double t : beepTimes) {
      if (std::fabs(flash - t) < std::fabs(best)) best = flash - t;
    }
    if (std::fabs(best) > 500) continue;
    bool first = false;
    for (double s : seekTimes) first = first || (flash > s && flash - s < 1500);
    (first ? afterSeek : offsets).push_back(best);
  }
  if (!seekTimes.empty()) {
    std::printf("seeks while playing: %zu; picture minus sound in the first 1.5 s after each:",
                seekTimes.size());
    for (double o : afterSeek) std::printf(" %+.1f", o);
    std::printf(" ms\n");
  }
  if (!offsets.empty()) {
    double om = 0, worst = 0;
    for (double o : offsets) {
      om += o;
      if (std::fabs(o) > std::fabs(worst)) worst = o;
    }
    om /= offsets.size();
    std::printf(
        "picture minus sound at each flash/beep (%zu pairs): mean %+.1f ms, worst %+.1f ms\n",
        offsets.size(), om, worst);
    std::printf("each pair (ms):");
    for (double o : offsets) std::printf(" %+.0f", o);
    std::printf("\n");
  } else {
    std::printf("no beep/flash pairs found (%zu beeps, %zu flashes)\n", beeps.size(),
                flashes.size());
  }
  if (!family.empty()) {
    // The second camera's flashes against the same beeps.
    double om = 0, worst = 0;
    int n = 0;
    for (double flash : rearFlashes) {
      double best = 1e9;
      for (double t : beepTimes) {
        if (std::fabs(flash - t) < std::fabs(best)) best = flash - t;
      }
      if (std::fabs(best) > 500) continue;
      om += best;
      if (std::fabs(best) > std::fabs(worst)) worst = best;
      ++n;
    }
    if (n > 0) {
      std::printf("rear picture minus sound (%d pairs): mean %+.1f ms, worst %+.1f ms\n", n, om / n,
                  worst);
    } else {
      std::printf("rear: no beep/flash pairs (%zu flashes)\n", rearFlashes.size());
    }
  }
  if (tripRecordings > 0) {
    // Where each join came on screen: the first picture of each recording after the first, by
    // its digest.
    std::unordered_map<std::uint64_t, std::size_t> shownAt;
    for (std::size_t i = 0; i < front.digests.size(); ++i) shownAt.emplace(front.digests[i], i);
    double longest = 0;
    std::vector<double> joinTimes;
    for (std::size_t j = 1; j < segments.size(); ++j) {
      const std::size_t first = std::size_t(segments[j].firstPicture);
      if (first >= reference.front.size()) continue;
      const auto it = shownAt.find(reference.front[first]);
      if (it == shownAt.end() || it->second == 0) continue;
      joinTimes.push_back(times[it->second]);
      for (std::size_t k = it->second; k < times.size() && times[k] < times[it->second] + 1000; ++k)
        longest = std::max(longest, times[k] - times[k - 1]);
    }
    std::vector<double> joinOffsets;
    for (const std::vector<double>* camera : {&flashes, &rearFlashes}) {
      for (double flash : *camera) {
        bool afterJoin = false;
        for (double t : joinTimes) afterJoin = afterJoin || (flash >= t - 1 && flash < t + 1000);
        if (!afterJoin) continue;
        double best = 1e9;
        for (double t : beepTimes) {
          if (std::fabs(flash - t) < std::fabs(best)) best = flash - t;
        }
        if (std::fabs(best) <= 500) joinOffsets.push_back(best);
      }
    }
    double om = 0, worst = 0;
    for (double o : joinOffsets) {
      om += o;
      if (std::fabs(o) > std::fabs(worst)) worst = o;
    }
    if (!joinOffsets.empty()) om /= double(joinOffsets.size());
    std::printf(
        "joins: %zu, longest gap %.1f ms, repeated %zu, missing %zu, picture minus sound after "
        "joins: mean %+.1f ms, worst %+.1f ms (%zu pairs, %zu joins seen)\n",
        segments.empty() ? 0 : segments.size() - 1, longest, frontCoverage.repeats,
        frontCoverage.never, om, worst, joinOffsets.size(), joinTimes.size());
  }
  return 0;
}
