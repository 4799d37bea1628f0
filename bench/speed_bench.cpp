// SPDX-License-Identifier: GPL-3.0-or-later
// The player engine's playback speeds and picture steps on a 60-second 1920x1080 + 1280x720
// two-camera recording written at 8 Mbit/s, drawn onto surfaces of a window's pane size (960x540
// front, 480x270 rear) that copy each picture as a pane does; sound through SDL's dummy driver
// (which plays in real time).
//
//   roadeye-speed_bench [--card DIR]
//
// Speeds: the recording is opened at each speed and, from 0.5 s after its first picture, the
// process's CPU time, the wall time and the pictures presented are read over 3 s (at 16 times,
// 8 s to 56 s of the recording); the CPU time of each thread over the same window tells where it
// went.
//
// Steps: paused, ShowPicture at a picture, then StepPictures(-1) (or +1), timed from the call
// until both the front and the rear surface have presented the new picture. The pictures are
// spread over the recording's 30-picture blocks; half of the steps back start from a block's first
// picture (they land on the last picture of the block before: the whole block is decoded), half of
// the steps forward from a block's second-last picture (the same 30 pictures decoded).
//
// Without --card the card is written by roadeye-mkcard into a scratch folder removed afterwards.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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
using namespace std::chrono_literals;

namespace {

using bench::CpuSeconds;
using bench::NowMs;

// A pane of the window: copies each picture it is shown into its own buffer, and notes how many
// came and when the last one did.
class PaneSurface final : public VideoSurface {
 public:
  PaneSurface(int width, int height) : width_(width), height_(height) {}
  void GetSize(int* width, int* height) const override {
    *width = width_;
    *height = height_;
  }
  void Present(const unsigned char* bgr, int width, int height, int stride) override {
    const double now = NowMs();
    const std::size_t row = std::size_t(width) * 3;
    pixels_.resize(row * std::size_t(height));
    for (int y = 0; y < height; ++y) {
      std::memcpy(pixels_.data() + row * std::size_t(y), bgr + std::size_t(stride) * std::size_t(y),
                  row);
    }
    std::lock_guard<std::mutex> hold(lock_);
    ++count_;
    lastMs_ = now;
    changed_.notify_all();
  }
  int Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return count_;
  }
  // Waits until more than `count` pictures came; the time the last one came, or -1 after 10 s.
  double WaitBeyond(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!changed_.wait_for(hold, 10s, [&] { return count_ > count; })) return -1;
    return lastMs_;
  }

 private:
  int width_, height_;
  std::vector<unsigned char> pixels_;  // the worker's only
  mutable std::mutex lock_;
  std::condition_variable changed_;
  int count_ = 0;
  double lastMs_ = 0;
};

// CPU seconds of each of the process's threads, by thread name (threads of one name summed).
std::map<std::string, double> ThreadCpu() {
  std::map<std::string, double> cpu;
  const double tick = double(sysconf(_SC_CLK_TCK));
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return cpu;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::string name, stat;
    std::getline(std::ifstream(base + "/comm"), name);
    std::getline(std::ifstream(base + "/stat"), stat);
    // Fields after the name in parentheses: state is the 3rd field, utime the 14th, stime 15th.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + close + 2,
                    "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) == 2) {
      cpu[name] += double(utime + stime) / tick;
    }
  }
  closedir(dir);
  return cpu;
}

struct Figures {
  double median = 0, worst = 0;
};

Figures Summarise(std::vector<double> values) {
  Figures f;
  if (values.empty()) return f;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  f.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  f.worst = values.back();
  return f;
}

bool WaitForIdle(const CNOVMediaPlayer& engine) {
  for (int i = 0; i < 10000 && engine.GetRunState() != CNOVMediaPlayer::kIdle; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  return engine.GetRunState() == CNOVMediaPlayer::kIdle;
}

}  // namespace

int main(int argc, char** argv) {
  std::string card;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--card" && i + 1 < argc) card = argv[++i];
  }
  std::string scratch;
  if (card.empty()) {
    char tmpl[] = "/tmp/roadeye-speed-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    scratch = tmpl;
    card = scratch + "/card";
    const std::string tool = (fs::path(argv[0]).parent_path() / "roadeye-mkcard").string();
    const std::string cmd = tool + " '" + card +
                            "' --front 1920x1080 --rear-size 1280x720 --rear yes --seconds 60 " +
                            "--count 1 --kinds REC --no-damaged --bitrate 8000 > /dev/null";
    std::printf("writing the card: %s\n", cmd.c_str());
    std::fflush(stdout);
    if (std::system(cmd.c_str()) != 0) {
      fs::remove_all(scratch);
      return 1;
    }
  }
  std::string name;
  std::uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(fs::path(card) / "VEX")) {
    name = "/" + e.path().stem().string() + ".avi";
    bytes = e.file_size();
  }

  setenv("SDL_AUDIODRIVER", "dummy", 1);
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
  PaneSurface front(960, 540), rear(480, 270);
  CNOVMediaPlayer engine;
  engine.SetParser(&parser);
  engine.SetDecoder(&decoder);
  engine.SetAudio(&audio);
  if (!engine.Run(&front, &rear)) return 1;

  std::printf("recording %s: %.1f MB, front 1920x1080, rear 1280x720, 30 pictures a second\n",
              name.c_str(), double(bytes) / 1e6);
  std::printf("surfaces: front 960x540, rear 480x270\n\n");

  // ---- Speeds ----
  const double windowMs = 3000;
  std::printf("%-7s %-9s %-11s %12s %9s %9s  %s\n", "speed", "pictures", "recording", "CPU s per s",
              "front/s", "rear/s", "busiest threads (share of a core)");
  for (int quarters : {4, 8, 16, 32, 64}) {
    engine.StopMedia();
    engine.SetSpeed(quarters);
    const int before = front.Count();
    engine.OpenMedia(name.c_str());
    const double first = front.WaitBeyond(before);
    if (first < 0) {
      std::printf("%dx: no picture\n", quarters / 4);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(first + 500 - NowMs()));
    const auto threads0 = ThreadCpu();
    const double cpu0 = CpuSeconds(), t0 = NowMs();
    const int fronts0 = front.Count(), rears0 = rear.Count();
    const int from = engine.GetPositionMs();
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(windowMs));
    const double cpu1 = CpuSeconds(), t1 = NowMs();
    const int fronts1 = front.Count(), rears1 = rear.Count();
    const int to = engine.GetPositionMs();
    const auto threads1 = ThreadCpu();
    const double wall = (t1 - t0) / 1000;
    std::vector<std::pair<double, std::string>> busy;
    for (const auto& [thread, seconds] : threads1) {
      const auto was = threads0.find(thread);
      const double used = seconds - (was == threads0.end() ? 0.0 : was->second);
      if (used > 0) busy.emplace_back(used / wall, thread);
    }
    std::sort(busy.rbegin(), busy.rend());
    std::string top;
    for (std::size_t i = 0; i < busy.size() && i < 3; ++i) {
      char part[64];
      std::snprintf(part, sizeof part, "%s%s %.2f", i ? ", " : "", busy[i].second.c_str(),
                    busy[i].first);
      top += part;
    }
    char label[16], span[32];
    std::snprintf(label, sizeof label, "%dx", quarters / 4);
    std::snprintf(span, sizeof span, "%.1f-%.1f s", from / 1000.0, to / 1000.0);
    std::printf("%-7s %-9s %-11s %12.3f %9.1f %9.1f  %s\n", label,
                CNOVMediaPlayer::KeyPicturesOnly(quarters) ? "key only" : "all", span,
                (cpu1 - cpu0) / wall, (fronts1 - fronts0) / wall, (rears1 - rears0) / wall,
                top.c_str());
    std::fflush(stdout);
  }
  engine.StopMedia();
  engine.SetSpeed(CNOVMediaPlayer::kNormalSpeed);

  // ---- Steps ----
  {
    const int before = front.Count();
    engine.OpenMedia(name.c_str());
    front.WaitBeyond(before + 2);
    engine.Pause();
    WaitForIdle(engine);
  }
  struct Step {
    int from, delta;
    bool worst;  // the whole block is decoded
  };
  std::vector<Step> back, forward;
  for (int i = 0; i < 40; ++i) {
    const int block = 2 + i;  // blocks 2 to 41 of 60
    // Half from the block's first picture; the others spread over the block.
    const int backOffset = i % 2 == 0 ? 0 : 1 + (i * 7) % 29;
    back.push_back({block * 30 + backOffset, -1, backOffset == 0});
    const int forwardOffset = i % 2 == 0 ? 28 : (i * 7) % 28;
    forward.push_back({block * 30 + forwardOffset, 1, forwardOffset == 28});
  }
  std::vector<double> shows, backAll, backWorst, backOther, fwdAll, fwdWorst, fwdOther, rearLags;
  // (pictures decoded, ms) of every show and step, for the cost per picture.
  std::vector<std::pair<int, double>> costs;
  // The pictures decoded to show `picture`: its block's from the key picture on.
  auto decoded = [](int picture) { return picture % 30 + 1; };
  // The slowest step: its wall time, the process's CPU time meanwhile, where it started.
  double slowestMs = 0, slowestCpuMs = 0;
  int slowestFrom = 0, slowestDelta = 0;
  int wrong = 0;
  auto runSteps = [&](const std::vector<Step>& steps, std::vector<double>& all,
                      std::vector<double>& worst, std::vector<double>& other) {
    for (const Step& step : steps) {
      // Land on the starting picture (timed too: a jump decodes from the block's key picture).
      int fronts = front.Count(), rears = rear.Count();
      double t0 = NowMs();
      engine.ShowPicture(step.from);
      double f = front.WaitBeyond(fronts), r = rear.WaitBeyond(rears);
      WaitForIdle(engine);
      if (f > 0 && r > 0) {
        shows.push_back(std::max(f, r) - t0);
        costs.emplace_back(decoded(step.from), shows.back());
      }
      std::this_thread::sleep_for(20ms);
      // The step.
      fronts = front.Count();
      rears = rear.Count();
      const double cpu0 = CpuSeconds();
      t0 = NowMs();
      engine.StepPictures(step.delta);
      f = front.WaitBeyond(fronts);
      r = rear.WaitBeyond(rears);
      WaitForIdle(engine);
      if (f < 0 || r < 0 || engine.GetShownPicture() != step.from + step.delta) {
        ++wrong;
        continue;
      }
      const double ms = std::max(f, r) - t0;
      if (ms > slowestMs) {
        slowestMs = ms;
        slowestCpuMs = (CpuSeconds() - cpu0) * 1000;
        slowestFrom = step.from;
        slowestDelta = step.delta;
      }
      all.push_back(ms);
      costs.emplace_back(decoded(step.from + step.delta), ms);
      (step.worst ? worst : other).push_back(ms);
      rearLags.push_back(r - f);
      std::this_thread::sleep_for(20ms);
    }
  };
  runSteps(back, backAll, backWorst, backOther);
  runSteps(forward, fwdAll, fwdWorst, fwdOther);
  engine.Shutdown();
  VexRelease(lib);
  if (!scratch.empty()) fs::remove_all(scratch);

  std::printf("\n%-62s %6s %10s %10s\n", "picture step, call to both pictures presented", "steps",
              "median ms", "worst ms");
  auto line = [](const char* what, const std::vector<double>& values) {
    const Figures f = Summarise(values);
    std::printf("%-62s %6zu %10.1f %10.1f\n", what, values.size(), f.median, f.worst);
  };
  line("step back, all", backAll);
  line("step back from a block's first picture (30 pictures decoded)", backWorst);
  line("step back from elsewhere in a block", backOther);
  line("step forward, all", fwdAll);
  line("step forward from a block's picture 28 (30 pictures decoded)", fwdWorst);
  line("step forward from elsewhere in a block", fwdOther);
  line("ShowPicture (jump) to the steps' starting pictures", shows);
  const Figures lag = Summarise(rearLags);
  std::printf("rear presented after the front: median %.2f ms, worst %.2f ms\n", lag.median,
              lag.worst);
  int over = 0;
  for (const auto& values : {backAll, fwdAll}) {
    over += int(std::count_if(values.begin(), values.end(), [](double ms) { return ms >= 100; }));
  }
  std::printf("steps of 100 ms or more: %d of %zu\n", over, backAll.size() + fwdAll.size());
  std::printf("slowest step: %+d from picture %d, %.1f ms (process CPU meanwhile %.1f ms)\n",
              slowestDelta, slowestFrom, slowestMs, slowestCpuMs);
  // Least squares: ms = fixed + per picture x pictures decoded.
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [pictures, ms] : costs) {
    n += 1;
    sx += pictures;
    sy += ms;
    sxx += double(pictures) * pictures;
    sxy += pictures * ms;
  }
  const double d = n * sxx - sx * sx;
  if (d > 0) {
    const double slope = (n * sxy - sx * sy) / d, fixed = (sy - slope * sx) / n;
    std::printf(
        "fitted over the %zu shows and steps: %.1f ms + %.2f ms per picture pair decoded (front + "
        "rear from the block's key picture; 30 pictures: %.1f ms)\n",
        costs.size(), fixed, slope, fixed + 30 * slope);
  }
  if (wrong) std::printf("steps that did not land or present: %d\n", wrong);
  return wrong ? 1 : 0;
}
