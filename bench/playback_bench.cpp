// Real-time playback of a 60-second two-camera recording (1280x720 + 640x360) through the whole
// engine: the interval between front pictures (mean and standard deviation), CPU time per second
// played, peak resident memory, and, with the SDL disk sound driver, the offset between each beep
// and the flash presented with it.
//
//   roadeye-playback_bench [--card DIR] [--seconds N] [--seeks]
//
// With --seeks the recording is sought while it plays, forwards and backwards, five times; the
// offsets of the first flash and beep after each seek are reported apart from the others.
//
// Sound goes to SDL's disk driver: it plays in real time into a file, whose growth tells when each
// sample was played (see playedAt for how the file's buffered growth is read).
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/BenchClock.h"
#include "media/CVEXParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/VideoSurface.h"
#include "support/Diag.h"
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

// Notes when each picture came and how bright its top-right corner was (where the card tool draws
// its flash), keeping no pixels, so that the memory figure is the engine's own.
class FlashSurface final : public VideoSurface {
 public:
  FlashSurface(int w, int h) : w_(w), h_(h) {}
  void GetSize(int* w, int* h) const override {
    *w = w_;
    *h = h_;
  }
  void Present(const unsigned char* bgr, int width, int height, int stride) override {
    int cw = width / 16, ch = height / 10;
    double sum = 0;
    for (int y = 0; y < ch; ++y) {
      const unsigned char* row = bgr + std::size_t(y) * std::size_t(stride);
      for (int x = width - cw; x < width; ++x)
        sum += (row[x * 3] + row[x * 3 + 1] + row[x * 3 + 2]) / 3.0;
    }
    std::lock_guard<std::mutex> hold(lock_);
    times.push_back(NowMs());
    corners.push_back(sum / (cw * ch));
  }
  std::mutex lock_;
  std::vector<double> times, corners;

 private:
  int w_, h_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string card;
  int seconds = 60;
  bool seeks = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--card" && i + 1 < argc) card = argv[++i];
    if (a == "--seconds" && i + 1 < argc) seconds = std::atoi(argv[++i]);
    if (a == "--seeks") seeks = true;
  }
  fs::path work = fs::temp_directory_path() / "roadeye-playback-bench";
  fs::create_directories(work);
  if (card.empty()) {
    card = (work / "card").string();
    if (!fs::exists(fs::path(card) / "VEX")) {
      std::string tool = (fs::path(argv[0]).parent_path() / "roadeye-mkcard").string();
      std::string cmd = tool + " '" + card + "' --seconds " + std::to_string(seconds) +
                        " --count 1 --kinds REC --rear yes --no-damaged > /dev/null";
      if (std::system(cmd.c_str()) != 0) return 1;
    }
  }
  std::string name;
  for (const auto& e : fs::directory_iterator(fs::path(card) / "VEX"))
    name = "/" + e.path().stem().string() + ".avi";

  std::string soundFile = (work / "played.s16le").string();
  fs::remove(soundFile);
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", soundFile.c_str(), 1);
  DiagSetOutput(nullptr);

  VexHandle lib = VexStart();
  VexInitialise(lib, card.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  CVEXParser parser;
  parser.SetLibraryHandle(lib);
  CDecoder decoder;
  CWaveBox audio;
  FlashSurface front(320, 180), rear(320, 180);
  CNOVMediaPlayer engine;
  End end;
  engine.SetParser(&parser);
  engine.SetDecoder(&decoder);
  engine.SetAudio(&audio);
  engine.SetEventCallback(&OnEvent, &end);
  engine.Run(&front, &rear);

  // Watch the sound file grow: (time, bytes) pairs map each sample to when it was played.
  std::atomic<bool> watching{true};
  std::vector<std::pair<double, long>> growth;
  std::thread watcher([&] {
    long last = -1;
    while (watching) {
      struct stat st {};
      long size = ::stat(soundFile.c_str(), &st) == 0 ? long(st.st_size) : 0;
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
  engine.Shutdown();
  VexRelease(lib);

  const std::vector<double>& times = front.times;
  std::vector<double> gaps;
  for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  double mean = 0, var = 0;
  for (double g : gaps) mean += g;
  mean /= std::max<std::size_t>(gaps.size(), 1);
  for (double g : gaps) var += (g - mean) * (g - mean);
  double sd = std::sqrt(var / std::max<std::size_t>(gaps.size(), 1));
  rusage u{};
  getrusage(RUSAGE_SELF, &u);

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
  std::printf("CPU: %.3f s per second played; peak resident %.1f MB\n", cpu / wall,
              u.ru_maxrss / 1024.0);

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
  std::vector<double> flashes;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (front.corners[i] > 200) flashes.push_back(times[i]);
  }
  // Each flash with the beep heard nearest to it (beeps are a second apart).
  std::vector<double> beepTimes;
  for (long b : beeps) {
    const double t = playedAt(b);
    if (t > 0) beepTimes.push_back(t);
  }
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
  } else {
    std::printf("no beep/flash pairs found (%zu beeps, %zu flashes)\n", beeps.size(),
                flashes.size());
  }
  return 0;
}
