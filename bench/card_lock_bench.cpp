// SPDX-License-Identifier: GPL-3.0-or-later
// How long the window's card poll waits while other threads open recordings on a large card whose
// folder is slow to list: one thread opens recordings one after the other through the card parser
// (as the engine does at each open and auto-advance), another reads each one's text records (as the
// track loader does), and the "window" thread polls the card every 20 ms, timing each poll.
//
//   roadeye-card_lock_bench [--recordings N] [--delay-us US] [--seconds S] [--lower-case]
//                           [--card DIR]
//
// The card holds N recordings (default 5,000): one written by roadeye-mkcard and N - 1 hard links
// to it under the names of later recordings. Every file a listing asks the file system about costs
// US microseconds more (default 100, as an SD card whose folder is not cached), through the card
// library's listing hook. --lower-case asks for the recordings by their names in lower case, which
// the card library finds only by listing the folder. Prints the polls' longest, 99th percentile and
// median times and what the opening threads did.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCard.h"
#include "media/CVEXParser.h"
#include "support/Diag.h"
#include "vexlib/VexCard.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int gDelayUs = 100;

void SlowFile(void*) { std::this_thread::sleep_for(std::chrono::microseconds(gDelayUs)); }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The names of the card's recordings: REC_20240612_<HHMMSS> from 08:15:00, a second apart.
std::string NameAt(int i, bool lowerCase = false) {
  const int t = 8 * 3600 + 15 * 60 + i;
  char name[64];
  std::snprintf(name, sizeof name, "%s_20240612_%02d%02d%02d", lowerCase ? "rec" : "REC",
                t / 3600 % 24, t / 60 % 60, t % 60);
  return name;
}

bool PrepareCard(const char* argv0, const fs::path& dir, int recordings) {
  if (!bench::WriteCardOnce(argv0, dir,
                            "--seconds 2 --count 1 --kinds REC --rear no --no-damaged "
                            "--no-gsensor")) {
    return false;
  }
  const fs::path first = dir / "VEX" / (NameAt(0) + ".vex");
  if (!fs::exists(first)) return false;
  std::error_code ec;
  for (int i = 1; i < recordings; ++i) {
    const fs::path link = dir / "VEX" / (NameAt(i) + ".vex");
    if (!fs::exists(link, ec)) fs::create_hard_link(first, link, ec);
    if (ec) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int recordings = 5000;
  double seconds = 20;
  std::string card;
  bool lowerCase = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--lower-case") {
      lowerCase = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (a == "--recordings") {
      recordings = std::max(2, std::atoi(argv[i + 1]));
    } else if (a == "--delay-us") {
      gDelayUs = std::max(0, std::atoi(argv[i + 1]));
    } else if (a == "--seconds") {
      seconds = std::max(1.0, std::atof(argv[i + 1]));
    } else if (a == "--card") {
      card = argv[i + 1];
    }
    ++i;
  }
  const fs::path dir = card.empty() ? fs::temp_directory_path() /
                                          ("roadeye-bench-lock-card-" + std::to_string(recordings))
                                    : fs::path(card);
  if (!PrepareCard(argv[0], dir, recordings)) {
    std::fprintf(stderr, "card_lock_bench: the card could not be written in %s\n",
                 dir.string().c_str());
    return 1;
  }

  DiagSetOutput(nullptr);  // the parser's line per recording
  VexHandle lib = bench::StartCardLibrary(dir.string());
  vex::SetListingHook(&SlowFile, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> opens{0}, scans{0};
  std::atomic<long long> openMicros{0};

  // The engine's opens, one recording after the other from the card's middle on.
  std::thread engine([&] {
    CVEXParser parser;
    parser.SetLibraryHandle(lib);
    parser.Start();
    for (int i = recordings / 2; !done; i = (i + 1) % recordings) {
      const std::string name = "/" + NameAt(i, lowerCase) + ".avi";
      RecordingInfo info;
      const auto start = Clock::now();
      if (parser.Open(name.c_str(), &info)) parser.Close();
      openMicros +=
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
      ++opens;
    }
    parser.Stop();
  });
  // The track loader's text scans of the same recordings.
  std::thread tracks([&] {
    std::vector<char> buffer(4096);
    for (int i = recordings / 2; !done; i = (i + 1) % recordings) {
      const std::string name = NameAt(i, lowerCase) + ".avi";
      if (VexTextScanHandle scan = VexOpenTextScan(lib, name.c_str(), -1)) {
        for (;;) {
          int size = int(buffer.size());
          std::int32_t timeMs = 0;
          const int r = VexReadText(scan, &size, buffer.data(), &timeMs);
          if (r != kVexReadOk && r != kVexReadNotYet) break;
        }
        VexCloseTextScan(scan);
      }
      ++scans;
    }
  });

  // The window thread's card poll.
  std::vector<double> polls;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    char drive = 0;
    const auto start = Clock::now();
    VexCardPoll(lib, &drive);
    polls.push_back(Ms(Clock::now() - start));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  done = true;
  engine.join();
  tracks.join();
  vex::SetListingHook(nullptr, nullptr);
  VexRelease(lib);

  std::sort(polls.begin(), polls.end());
  auto at = [&](double q) {
    return polls[std::min(polls.size() - 1, std::size_t(q * polls.size()))];
  };
  std::printf("card: %d recordings, %d us per file listed; %.0f s; names asked for in %s\n",
              recordings, gDelayUs, seconds, lowerCase ? "lower case" : "the card's letters");
  std::printf("window poll: %zu polls, longest %.3f ms, 99th percentile %.3f ms, median %.3f ms\n",
              polls.size(), polls.back(), at(0.99), at(0.5));
  std::printf("engine: %d opens, %.1f ms each on average; track loader: %d scans\n", opens.load(),
              opens > 0 ? openMicros.load() / 1000.0 / opens.load() : 0.0, scans.load());
  return 0;
}
