// SPDX-License-Identifier: GPL-3.0-or-later
// Long runs of the engine, for what only shows over time: leaked threads, descriptors or memory.
//
//   roadeye-soak_bench churn [OPERATIONS]   (default 10000) the engine opening, seeking, pausing,
//       resuming and stopping three recordings in a random (seeded) order, with the real card
//       parser, decoder and sound output (SDL's dummy driver); threads, open descriptors and
//       resident memory before, after the first 100 operations and at the end.
//   roadeye-soak_bench play CARD_DIR        the same for the card's first recording alone.
//   roadeye-soak_bench hour [SECONDS]       (default 3600) one two-camera recording of that length
//       played to its end a hundred times as fast as recorded (no sound, the frame rate made a
//       hundred times its own), beside a one-minute one: every picture presented once, and the
//       peak resident memory of each.
//
// Cards are written with roadeye-mkcard (small pictures) under the temporary folder and kept for
// the next run.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchClock.h"
#include "media/CVEXParser.h"
#include "media/testing/ForwardingParser.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/VideoSurface.h"
#include "support/Diag.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using bench::NowMs;

namespace {

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}
int Threads() { return CountEntries("/proc/self/task"); }
int Descriptors() { return CountEntries("/proc/self/fd") - 1; }  // less the listing's own
double ResidentMb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1e6;
}
double PeakResidentMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1e3;
}

// A surface that counts what it is shown.
class CountingSurface final : public VideoSurface {
 public:
  CountingSurface(int w, int h) : w_(w), h_(h) {}
  void GetSize(int* w, int* h) const override {
    *w = w_;
    *h = h_;
  }
  void Present(const unsigned char*, int, int, int) override { ++count; }
  std::atomic<long> count{0};

 private:
  int w_, h_;
};

// Passes everything through, but gives the front camera a hundred times its frame rate, so that
// without sound the engine shows the pictures a hundred times as fast as they were recorded. (Much
// faster would not be fair to the engine: it gathers 700 ms of pictures at the recording's rate
// before it shows the first, which at a rate of millions would be the whole recording.)
class UnpacedParser final : public roadeye_test::ForwardingParser {
 public:
  using ForwardingParser::ForwardingParser;
  int GetFrameRate(int s) override {
    return s == 0 ? 100 * inner_->GetFrameRate(s) : inner_->GetFrameRate(s);
  }
};

struct Ends {
  std::mutex lock;
  std::condition_variable changed;
  int count = 0;
};
void OnEvent(void* user, int code, int, int) {
  if (code != CNOVMediaPlayer::kEventEnded) return;
  auto* e = static_cast<Ends*>(user);
  std::lock_guard<std::mutex> hold(e->lock);
  ++e->count;
  e->changed.notify_all();
}

bool MakeCard(const std::string& bin, const fs::path& dir, const std::string& options) {
  if (fs::exists(dir / "VEX")) return true;
  const std::string cmd =
      bin + "/roadeye-mkcard '" + dir.string() + "' " + options + " > /dev/null";
  return std::system(cmd.c_str()) == 0;
}

// The card's recordings as the engine names them ("/NAME.avi").
std::vector<std::string> Recordings(const fs::path& card) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(card / "VEX")) {
    names.push_back("/" + e.path().stem().string() + ".avi");
  }
  std::sort(names.begin(), names.end());
  return names;
}

VexHandle AttachCard(const fs::path& card) {
  VexHandle lib = VexStart();
  VexInitialise(lib, card.string().c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  return lib;
}

int Churn(const std::string& bin, const fs::path& work, int operations) {
  const fs::path card = work / "churn-card";
  if (!MakeCard(bin, card,
                "--seconds 10 --count 1 --kinds REC,EVENT,PARKING --rear mixed --no-damaged "
                "--front 320x180 --rear-size 160x90")) {
    return 1;
  }
  const std::vector<std::string> names = Recordings(card);
  const int threads0 = Threads(), fds0 = Descriptors();
  const double rss0 = ResidentMb();
  VexHandle lib = AttachCard(card);
  CVEXParser parser;
  parser.SetLibraryHandle(lib);
  CDecoder decoder;
  CWaveBox audio;
  CountingSurface front(320, 180), rear(160, 90);
  Ends ends;
  CNOVMediaPlayer engine;
  engine.SetParser(&parser);
  engine.SetDecoder(&decoder);
  engine.SetAudio(&audio);
  engine.SetEventCallback(&OnEvent, &ends);
  if (!engine.Run(&front, &rear)) return 1;

  std::mt19937 random(20261208);
  int threads100 = 0, fds100 = 0;
  double rss100 = 0, peakThreads = 0;
  const double start = NowMs();
  for (int op = 0; op < operations; ++op) {
    switch (random() % 6) {
      case 0:
      case 1:
        engine.OpenMedia(names[random() % names.size()].c_str());
        break;
      case 2:
        engine.SeekToMs(int(random() % 12000));
        break;
      case 3:
        engine.Pause();
        break;
      case 4:
        engine.Resume();
        break;
      case 5:
        engine.StopMedia();
        break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    peakThreads = std::max(peakThreads, double(Threads()));
    if (op + 1 == 100) {
      engine.StopMedia();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      threads100 = Threads();
      fds100 = Descriptors();
      rss100 = ResidentMb();
    }
  }
  engine.StopMedia();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int threadsEnd = Threads(), fdsEnd = Descriptors();
  const double rssEnd = ResidentMb();
  const double seconds = (NowMs() - start) / 1000;
  engine.Shutdown();
  VexRelease(lib);
  const int threadsShut = Threads(), fdsShut = Descriptors();

  std::printf("churn: %d operations on %zu recordings in %.1f s; %d recordings ended\n", operations,
              names.size(), seconds, ends.count);
  std::printf("  %-32s %8s %12s %12s\n", "", "threads", "descriptors", "resident MB");
  std::printf("  %-32s %8d %12d %12.1f\n", "before the engine ran", threads0, fds0, rss0);
  std::printf("  %-32s %8d %12d %12.1f\n", "after 100 operations (stopped)", threads100, fds100,
              rss100);
  std::printf("  %-32s %8d %12d %12.1f\n", "after all of them (stopped)", threadsEnd, fdsEnd,
              rssEnd);
  std::printf("  %-32s %8d %12d\n", "after the engine shut down", threadsShut, fdsShut);
  std::printf("  most threads at once: %.0f; resident memory at the end %+.1f %% of after 100\n",
              peakThreads, (rssEnd / rss100 - 1) * 100);
  const bool flat = threadsEnd == threads100 && fdsEnd == fds100 && rssEnd <= rss100 * 1.1 &&
                    threadsShut == threads0 && fdsShut == fds0;
  std::printf("  %s\n", flat ? "threads and descriptors back, memory within 10 %" : "NOT FLAT");
  return flat ? 0 : 1;
}

// Plays one recording to its end as fast as the engine goes; the pictures presented.
long PlayUnpaced(const fs::path& card, double* seconds) {
  VexHandle lib = AttachCard(card);
  CVEXParser vex;
  vex.SetLibraryHandle(lib);
  UnpacedParser parser(&vex);
  CDecoder decoder;
  CountingSurface front(128, 64), rear(64, 64);
  Ends ends;
  CNOVMediaPlayer engine;
  engine.SetParser(&parser);
  engine.SetDecoder(&decoder);
  engine.SetAudio(nullptr);
  engine.SetEventCallback(&OnEvent, &ends);
  engine.Run(&front, &rear);
  const double start = NowMs();
  engine.OpenMedia(Recordings(card).front().c_str());
  {
    std::unique_lock<std::mutex> hold(ends.lock);
    ends.changed.wait(hold, [&] { return ends.count > 0; });
  }
  *seconds = (NowMs() - start) / 1000;
  engine.Shutdown();
  VexRelease(lib);
  return front.count + rear.count;
}

int Hour(const std::string& bin, const fs::path& work, int seconds) {
  const std::string options =
      " --count 1 --kinds REC --rear yes --no-damaged --front 128x64 --rear-size 64x64";
  const fs::path minute = work / "minute-card";
  const fs::path hour = work / ("hour-card-" + std::to_string(seconds));
  if (!MakeCard(bin, minute, "--seconds 60" + options) ||
      !MakeCard(bin, hour, "--seconds " + std::to_string(seconds) + options)) {
    return 1;
  }
  // Each length in a process of its own, so that the peaks do not mix.
  std::fflush(stdout);
  auto child = [&](const fs::path& card, long expected, const char* what) {
    const pid_t pid = fork();
    if (pid == 0) {
      double took = 0;
      const long shown = PlayUnpaced(card, &took);
      std::printf("%-22s %8ld of %8ld pictures shown in %7.1f s; peak resident %6.1f MB\n", what,
                  shown, expected, took, PeakResidentMb());
      std::fflush(stdout);
      _exit(shown == expected ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  const bool a = child(minute, 2L * 60 * 30, "one minute");
  const bool b = child(hour, 2L * seconds * 30, (std::to_string(seconds) + " seconds").c_str());
  return a && b ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  DiagSetOutput(nullptr);
  const std::string bin = fs::path(argv[0]).parent_path().string();
  const fs::path work = fs::temp_directory_path() / "roadeye-soak-bench";
  fs::create_directories(work);
  const std::string mode = argc > 1 ? argv[1] : "churn";
  if (mode == "churn") return Churn(bin, work, argc > 2 ? std::atoi(argv[2]) : 10000);
  if (mode == "hour") return Hour(bin, work, argc > 2 ? std::atoi(argv[2]) : 3600);
  if (mode == "play" && argc > 2) {
    double took = 0;
    const long shown = PlayUnpaced(argv[2], &took);
    std::printf("%ld pictures shown in %.1f s; peak resident %.1f MB\n", shown, took,
                PeakResidentMb());
    return 0;
  }
  std::fprintf(stderr, "usage: roadeye-soak_bench churn [OPERATIONS] | hour [SECONDS]\n");
  return 2;
}
