// SPDX-License-Identifier: GPL-3.0-or-later
// The player window under load, run under Xvfb:
//  1. listing a card of 1,000 recordings (the card poll's fill of the driving recordings, and the
//     "all" filter), and
//  2. the longest time the window thread is held by one command while recordings play: opening a
//     recording while another plays, stopping, seeking by the slider and by keys, PLAY and Pause;
//  3. opening a 30-minute two-camera recording cut short by a power loss (no index: the card
//     library describes it block by block), while another plays;
//  4. opening the camera's settings dialog on a card's settings file, until it is painted.
//     Each command runs on the window thread, so the time it takes is the time the window does not
//     answer; a watch on a 5 ms timer also notes the longest gap between two ticks.
//
//   xvfb-run -a build/bin/roadeye-window_bench [--recordings N]
#include <wx/app.h>
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/AppIds.h"
#include "app/CSamplePlayerDlg.h"
#include "bench/WindowBench.h"
#include "resources/core/StringTable.h"
#include "settings/gui/CSettingDlg.h"
#include "skin/CBitmapSlider.h"
#include "skin/SkinEvents.h"
#include "support/Diag.h"

namespace fs = std::filesystem;

namespace {

using bench::BenchApp;
using bench::NowMs;
using bench::Pump;

// Runs fn on the window thread and returns how long it held it, in ms.
double Held(const std::function<void()>& fn) {
  const double start = NowMs();
  fn();
  return NowMs() - start;
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  int recordings = 1000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--recordings") recordings = std::atoi(argv[i + 1]);
  }
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const fs::path work = fs::temp_directory_path() / "roadeye-window-bench";
  const fs::path source = work / "source";
  const fs::path card = work / "card";
  const std::string bin = fs::path(argv[0]).parent_path().string();
  // A 30-minute two-camera recording cut short: small pictures keep it quick to write.
  const fs::path longSource = work / "long";
  if (!fs::exists(longSource / "VEX")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + longSource.string() +
                            "' --seconds 1800 --count 1 --kinds EVENT --rear yes --no-damaged"
                            " --front 320x180 --rear-size 160x90 --bitrate 100 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  if (!fs::exists(source / "VEX")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + source.string() +
                            "' --seconds 20 --count 2 --kinds REC --rear yes --no-damaged"
                            " --bitrate 1500 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  // A card of N driving recordings, one minute apart: hard links to the two real ones.
  fs::remove_all(card);
  fs::create_directories(card / "VEX");
  fs::create_directories(card / "SETTING");
  std::vector<fs::path> originals;
  for (const auto& e : fs::directory_iterator(source / "VEX")) originals.push_back(e.path());
  std::sort(originals.begin(), originals.end());
  for (int i = 0; i < recordings; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "REC_2024%02d%02d_%02d%02d00_D.vex", 1 + i / 1440 % 12,
                  1 + i / 60 / 24 % 28, i / 60 % 24, i % 60);
    fs::create_hard_link(originals[std::size_t(i) % originals.size()], card / "VEX" / name);
  }
  // The long one, cut at 90 %: half a block at the end and no index.
  std::string cutName;
  for (const auto& e : fs::directory_iterator(longSource / "VEX")) {
    cutName = e.path().stem().string() + ".avi";
    fs::copy_file(e.path(), card / "VEX" / e.path().filename());
    fs::resize_file(card / "VEX" / e.path().filename(), fs::file_size(e.path()) * 9 / 10);
  }

  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }
  DiagSetOutput(nullptr);
  int exitCode = 0;
  {
    auto* window = bench::ShowBenchWindow(card.string(), (work / "config.cfg").string());

    const double poll = Held([&] { window->PollCard(); });
    const int rows = window->RecordingList()->GetItemCount();
    double fillDriving = 1e9, fillAll = 1e9;
    for (int run = 0; run < 5; ++run) {
      fillDriving = std::min(fillDriving, Held([&] {
                               window->RecordingList()->DeleteAllItems();
                               window->FillRecordingList(kVexContinuous);
                             }));
      fillAll = std::min(fillAll, Held([&] {
                           window->RecordingList()->DeleteAllItems();
                           window->FillRecordingList(kListAllKinds);
                         }));
    }
    std::printf(
        "listing %d recordings: card poll with fill %.1f ms; fill of the driving kind %.1f ms,"
        " of all kinds %.1f ms (best of 5)\n",
        rows, poll, fillDriving, fillAll);
    if (rows != recordings) exitCode = 1;

    // The window thread's longest stalls while playing.
    double longestGap = 0, lastTick = NowMs();
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      const double now = NowMs();
      longestGap = std::max(longestGap, now - lastTick);
      lastTick = now;
    });
    watch.Start(5);
    struct Step {
      const char* what;
      double worst = 0;
      int count = 0;
    };
    std::vector<Step> steps = {{"open a recording while another plays"},
                               {"stop"},
                               {"seek by the slider"},
                               {"seek by keys (Right, Left)"},
                               {"PLAY (waits 500 ms by design)"},
                               {"Pause (waits 300 ms by design)"}};
    auto note = [&](int i, double ms) {
      steps[std::size_t(i)].worst = std::max(steps[std::size_t(i)].worst, ms);
      ++steps[std::size_t(i)].count;
    };
    wxListCtrl* list = window->RecordingList();
    for (int round = 0; round < 8; ++round) {
      const std::string a = list->GetItemText(round % 2, 1).ToStdString();
      const std::string b = list->GetItemText(2 + round % 2, 1).ToStdString();
      note(0, Held([&] { window->OpenRecording(a); }));
      Pump(700);
      note(0, Held([&] { window->OpenRecording(b); }));
      Pump(700);
      note(2, Held([&] {
             window->SeekSlider()->SetPos(8);
             wxCommandEvent change(EVT_SLIDER_CHANGE_MSG, kIdSeekSlider);
             change.SetInt(8);
             window->GetEventHandler()->ProcessEvent(change);
           }));
      Pump(500);
      note(3, Held([&] { window->HandleKey(WXK_RIGHT, false); }));
      Pump(400);
      note(3, Held([&] { window->HandleKey(WXK_LEFT, false); }));
      Pump(400);
      note(5, Held([&] { window->OnPauseCommand(); }));
      Pump(200);
      note(4, Held([&] { window->OnPlayCommand(); }));
      Pump(400);
      note(1, Held([&] { window->StopPlayback(); }));
      Pump(300);
    }
    // The cut-short 30-minute recording, opened while another plays: how long the window thread is
    // held, and how long until the window hears that it has been described (the engine's opened
    // event puts its length on the slider).
    double cutHold = 0, cutDescribed = 0;
    for (int run = 0; run < 3; ++run) {
      window->OpenRecording(list->GetItemText(0, 1).ToStdString());
      Pump(700);
      const double start = NowMs();
      cutHold = std::max(cutHold, Held([&] { window->OpenRecording(cutName); }));
      while (window->SeekSlider()->GetRangeMax() < 1000 && NowMs() - start < 60000) Pump(1);
      cutDescribed = std::max(cutDescribed, NowMs() - start);
      Pump(500);
      window->StopPlayback();
      window->SeekSlider()->SetRange(0, 60, false);
      Pump(200);
    }
    // The settings dialog: made, the file read into it, shown and painted.
    double dialogOpen = 1e9, dialogWorst = 0;
    const std::string settings = (source / "SETTING" / "blackbox.cfg").string();
    for (int run = 0; run < 5; ++run) {
      CSettingDlg* dialog = nullptr;
      const double held = Held([&] {
        dialog = new CSettingDlg(window, settings, kLangEnglish);
        dialog->Show();
        dialog->Update();
      });
      dialogOpen = std::min(dialogOpen, held);
      dialogWorst = std::max(dialogWorst, held);
      Pump(100);
      dialog->Destroy();
      Pump(100);
    }
    watch.Stop();
    std::printf(
        "opening the settings dialog, until it is painted: best %.1f ms, worst %.1f ms (of 5)\n",
        dialogOpen, dialogWorst);
    std::printf(
        "cut-short 30-minute two-camera recording: longest hold of the window thread at its open "
        "%.1f ms; described and its length shown after %.0f ms (worst of 3)\n",
        cutHold, cutDescribed);
    for (const Step& s : steps) {
      std::printf("longest hold of the window thread, %-38s %6.1f ms (%d times)\n", s.what, s.worst,
                  s.count);
    }
    std::printf("longest gap between two 5 ms ticks of the window thread: %.1f ms\n", longestGap);
    window->Close(true);
    Pump(500);
  }
  wxUninitialize();
  return exitCode;
}
