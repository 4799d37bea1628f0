// SPDX-License-Identifier: GPL-3.0-or-later
// Listing a card of another camera family in the window, run under Xvfb: a Novatek-style card of
// N files (N/2 two-camera recordings, each file a hard link to a real MP4 written by
// roadeye-mkcard). From the card poll that finds it: how long until the first rows are in the
// list, how long until every recording has been described from its containers, and the longest
// time the window thread went without handling a 5 ms timer meanwhile (the listing runs on the
// cards library's worker; the window only takes its reports).
//
//   xvfb-run -a build/bin/roadeye-window_family_card_bench [--files N]
#include <wx/app.h>
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/CSamplePlayerDlg.h"
#include "bench/WindowBench.h"
#include "support/Diag.h"

namespace fs = std::filesystem;

wxIMPLEMENT_APP_NO_MAIN(bench::BenchApp);

int main(int argc, char** argv) {
  int files = 5000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--files") files = std::atoi(argv[i + 1]);
  }
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const fs::path work = fs::temp_directory_path() / "roadeye-family-card-bench";
  const fs::path source = work / "source";
  const fs::path card = work / "card";
  const std::string bin = fs::path(argv[0]).parent_path().string();
  if (!fs::exists(source / "DCIM")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + source.string() +
                            "' --family novatek --kinds REC --seconds 60 --count 1 --rear yes"
                            " --no-damaged --front 640x360 --rear-size 320x180 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  const fs::path movie = source / "DCIM" / "Movie";
  fs::remove_all(card);
  fs::create_directories(card / "DCIM" / "Movie");
  for (int i = 0; i < files / 2; ++i) {
    // One minute apart, numbered as the camera numbers them.
    const int minute = i % 60, hour = i / 60 % 24, day = 1 + i / 1440 % 28;
    for (const char camera : {'F', 'R'}) {
      char name[64];
      std::snprintf(name, sizeof name, "2024_06%02d_%02d%02d00_%03d%c.MP4", day, hour, minute,
                    i % 1000, camera);
      fs::create_hard_link(movie / (std::string("2024_0612_081500_001") + camera + ".MP4"),
                           card / "DCIM" / "Movie" / name);
    }
  }

  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }
  DiagSetOutput(nullptr);
  int exitCode = 0;
  {
    auto* window = bench::ShowBenchWindow(card.string(), (work / "config.cfg").string());
    bench::GapWatch gaps;
    gaps.Watch(true);
    // The first rows are seen by a timer of the window thread's, as the user would see them.
    double firstRows = -1;
    wxTimer look;
    const double start = bench::NowMs();
    look.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      if (firstRows < 0 && window->RecordingList()->GetItemCount() > 0) {
        firstRows = bench::NowMs() - start;
      }
    });
    look.Start(1);
    window->PollCard();
    const double poll = bench::NowMs() - start;
    const bool rows = bench::PumpUntil([&] { return firstRows >= 0; }, 60000);
    const bool complete = bench::PumpUntil([&] { return window->OtherCard().Complete(); }, 600000);
    const int listed = window->RecordingList()->GetItemCount();
    const double all = bench::NowMs() - start;
    gaps.Watch(false);
    std::printf(
        "card of %d files: card poll %.1f ms; first rows after %.1f ms; all %d recordings "
        "listed and described after %.0f ms; longest window gap %.1f ms\n",
        files, poll, firstRows, listed, all, gaps.Longest());
    if (!rows || !complete || listed != files / 2) exitCode = 1;
    window->Close(true);
    bench::Pump(200);
  }
  wxUninitialize();
  return exitCode;
}
