// SPDX-License-Identifier: GPL-3.0-or-later
// A one-hour recording's track on the map, the way the player window draws it at open: the track
// read on the loader's worker (3,600 fixes out of a 1.2 GB two-camera recording, from the page
// cache), handed to the window thread by an event, sent to the map page and drawn there. Reports
// for each of 7 runs the time from the request to the page's "drawn" message, the part of it the
// reading took, the window thread's own work on the answer, and the longest gap between two 5 ms
// ticks of the window thread while it all ran (beside the same gap on the idle window).
//
//   xvfb-run -a build/bin/roadeye-window_track_bench
//
// The map view stands in a frame of its own: the recording's pictures are random bytes that the
// window's engine could not show, and only the track's path is measured.
#include <wx/frame.h>
#include <wx/init.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchCard.h"
#include "bench/HourRecording.h"
#include "bench/WindowBench.h"
#include "map/gui/CMapView.h"
#include "support/Diag.h"
#include "telemetry/Track.h"
#include "telemetry/TrackLoader.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

using bench::BenchApp;
using bench::NowMs;
using bench::Pump;

constexpr int kRuns = 7;
constexpr char kName[] = "REC_20240612_100000_D.avi";

wxDEFINE_EVENT(EVT_BENCH_TRACK, wxThreadEvent);

bool Online() { return true; }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  const fs::path work = fs::temp_directory_path() / "roadeye-track-window-bench";
  const fs::path file = work / "VEX" / "REC_20240612_100000_D.vex";
  if (!fs::exists(file)) {
    fs::create_directories(work / "VEX");
    std::fprintf(stderr, "writing a one-hour recording into %s\n", work.c_str());
    if (!bench::WriteHourRecording(file.string())) {
      std::fprintf(stderr, "cannot write the recording\n");
      return 1;
    }
  }
  {  // from the page cache, as a recording just listed is
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0) {
    }
  }
  setenv("ROADEYE_TILE_URL", "http://127.0.0.1:9/{z}/{x}/{y}.png", 0);
  wxEntryStart(argc, argv);
  wxTheApp->CallOnInit();
  DiagSetOutput(nullptr);

  auto* frame = new wxFrame(nullptr, wxID_ANY, "track", wxDefaultPosition, wxSize(700, 420));
  auto* map = new CMapView(frame, wxID_ANY, wxPoint(0, 0), wxSize(640, 360));
  frame->Show();
  map->SetNetworkCheck(&Online);
  map->NavigateMapPage();
  if (!bench::PumpUntil([&] { return map->CallJScript("trackInfo()") == "0"; }, 20000)) {
    std::fprintf(stderr, "the map page did not load\n");
    return 1;
  }

  VexHandle library = bench::StartCardLibrary(work.string());

  double started = 0, readDone = 0, handlerMs = 0, drawnAt = 0;
  int drawnPoints = -1;
  frame->Bind(EVT_BENCH_TRACK, [&](wxThreadEvent& event) {
    const double t = NowMs();
    map->SetTrack(event.GetPayload<Track>());
    handlerMs = NowMs() - t;
  });
  map->SetTrackDrawnObserver([&](int points) {
    drawnPoints = points;
    drawnAt = NowMs();
  });

  bench::GapWatch watch;
  watch.Watch(true);
  Pump(3000);
  const double idleGap = watch.Longest();

  TrackLoader loader;
  std::vector<double> total, reading, handler, gaps;
  for (int run = 0; run < kRuns; ++run) {
    map->ClearTrack();
    Pump(300);
    drawnPoints = -1;
    watch.Watch(true);
    started = NowMs();
    loader.Request(library, {kName}, [&](std::vector<RecordingTelemetry>&& read, TrackReadResult) {
      readDone = NowMs();
      auto* event = new wxThreadEvent(EVT_BENCH_TRACK);
      event->SetPayload(read.empty() ? Track{} : read.front().track);
      wxQueueEvent(frame, event);
    });
    if (!bench::PumpUntil([&] { return drawnPoints >= 0; }, 20000) ||
        drawnPoints != bench::kHourSeconds) {
      std::fprintf(stderr, "run %d: the page drew %d points\n", run, drawnPoints);
      return 1;
    }
    total.push_back(drawnAt - started);
    reading.push_back(readDone - started);
    handler.push_back(handlerMs);
    gaps.push_back(watch.Longest());
  }
  watch.Watch(false);
  loader.Stop();

  std::printf("one-hour recording, %d fixes, %d runs (median / worst)\n", bench::kHourSeconds,
              kRuns);
  std::printf("request to the page's drawn message: %.0f / %.0f ms\n", Median(total),
              *std::max_element(total.begin(), total.end()));
  std::printf("  of which reading on the worker:    %.0f / %.0f ms\n", Median(reading),
              *std::max_element(reading.begin(), reading.end()));
  std::printf("window thread's work on the answer: %.1f / %.1f ms\n", Median(handler),
              *std::max_element(handler.begin(), handler.end()));
  std::printf("longest gap between two 5 ms ticks of the window thread: %.1f / %.1f ms\n",
              Median(gaps), *std::max_element(gaps.begin(), gaps.end()));
  std::printf("the same in 3 s of the idle map (the machine's own): %.1f ms\n", idleGap);

  VexRelease(library);
  frame->Destroy();
  Pump(200);
  wxTheApp->OnExit();
  wxEntryCleanup();
  return 0;
}
