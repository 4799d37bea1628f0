// SPDX-License-Identifier: GPL-3.0-or-later
// Snapshots and the zoom window on a 1920x1080 + 1280x720 two-camera recording playing in the
// real player window, run under Xvfb:
//  1. a snapshot's time from the save dialog's confirmation to both files written (the dialog
//     answered at once), best and worst of 5;
//  2. the zoom window's CPU cost while it is open over the playing front picture: the process's
//     CPU time per second with the zoom window, less that without it.
//
//   xvfb-run -a -s "-screen 0 1920x1080x24" build/bin/roadeye-window_capture_bench
#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <sys/resource.h>
#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/init.h>
#include <wx/listctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/CPicturePane.h"
#include "app/CSamplePlayerDlg.h"
#include "bench/WindowBench.h"
#include "support/Diag.h"

namespace fs = std::filesystem;

namespace {

using bench::BenchApp;
using bench::CpuSeconds;
using bench::NowMs;
using bench::Pump;

// CPU time used per second of wall time while the window runs for ms.
double CpuPerSecond(int ms) {
  const double cpu = CpuSeconds(), start = NowMs();
  Pump(ms);
  return (CpuSeconds() - cpu) / ((NowMs() - start) / 1000.0);
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const fs::path work = fs::temp_directory_path() / "roadeye-capture-bench";
  const fs::path card = work / "card";
  const std::string bin = fs::path(argv[0]).parent_path().string();
  if (!fs::exists(card / "VEX")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + card.string() +
                            "' --seconds 40 --count 1 --kinds REC --rear yes --no-damaged"
                            " --front 1920x1080 --rear-size 1280x720 --bitrate 8000 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  fs::create_directories(work / "out");
  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }
  DiagSetOutput(nullptr);
  {
    auto* window = bench::ShowBenchWindow(card.string(), (work / "config.cfg").string());
    window->PollCard();
    window->PlayNext();
    Pump(3000);

    // 1. Snapshots: the dialog confirms at once with a name.
    int shot = 0;
    window->Capture().SetSaveDialogRunner([&](const wxString&, wxString* path) {
      *path = wxString::FromUTF8((work / "out" / ("S" + std::to_string(++shot) + ".jpg")).string());
      return true;
    });
    double best = 1e9, worst = 0;
    for (int run = 0; run < 5; ++run) {
      const double start = NowMs();
      window->Capture().CaptureSnapshot();
      const double held = NowMs() - start;
      best = std::min(best, held);
      worst = std::max(worst, held);
      Pump(500);
    }
    const bool written =
        fs::exists(work / "out" / "S5_front.jpg") && fs::exists(work / "out" / "S5_rear.jpg");
    std::printf(
        "snapshot of 1920x1080 + 1280x720, confirmation to both files written: "
        "best %.1f ms, worst %.1f ms (of 5)%s\n",
        best, worst, written ? "" : " -- FILES MISSING");

    // 2. The zoom window over the playing front picture.
    window->PlayNext();  // the list has one row: stops; start again
    window->PlayRow(0);
    Pump(2000);
    const double without = CpuPerSecond(8000);
    window->Capture().OpenZoomWindow();
    GdkDisplay* gdk = gdk_display_get_default();
    if (gdk != nullptr && GDK_IS_X11_DISPLAY(gdk)) {
      Display* d = GDK_DISPLAY_XDISPLAY(gdk);
      const wxRect pane = window->FrontPane()->GetScreenRect();
      XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, pane.x + pane.width / 2,
                   pane.y + pane.height / 2);
      XFlush(d);
    }
    Pump(1000);
    const double with = CpuPerSecond(8000);
    std::printf(
        "CPU while playing: %.3f s/s without the zoom window, %.3f s/s with it over the "
        "front picture: the zoom window costs %.1f %% of a core\n",
        without, with, (with - without) * 100);
    window->Close(true);
    Pump(500);
  }
  wxUninitialize();
  return 0;
}
