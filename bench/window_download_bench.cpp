// SPDX-License-Identifier: GPL-3.0-or-later
// The file download through the real player window beside roadeye-convert on the same card: ten
// 60-second two-camera recordings (1280x720 + 640x360 at 4 Mbit/s), read from the page cache,
// written to the temporary folder. Reports each one's rate (card bytes per second, the median of
// 7 runs, the two alternating) and the longest the window thread went without handling a 5 ms
// timer while the download ran, beside the same measure on the idle window.
//
//   xvfb-run -a build/bin/roadeye-window_download_bench
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/AppIds.h"
#include "app/CSamplePlayerDlg.h"
#include "bench/WindowBench.h"
#include "support/Diag.h"

namespace fs = std::filesystem;

namespace {

using bench::BenchApp;
using bench::NowMs;
using bench::Pump;

constexpr int kRuns = 7;

// Bytes of the card's recordings, read once so that every run starts from the page cache.
std::uintmax_t WarmCard(const fs::path& vex) {
  std::uintmax_t bytes = 0;
  std::vector<char> buffer(1 << 20);
  for (const auto& e : fs::directory_iterator(vex)) {
    std::ifstream in(e.path(), std::ios::binary);
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0) {
    }
    bytes += e.file_size();
  }
  return bytes;
}

}  // namespace

wxIMPLEMENT_APP_NO_MAIN(BenchApp);

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  const fs::path work = fs::temp_directory_path() / "roadeye-download-bench";
  const fs::path card = work / "card";
  const fs::path out = work / "out";
  const std::string bin = fs::path(argv[0]).parent_path().string();
  if (!fs::exists(card / "VEX")) {
    const std::string cmd = bin + "/roadeye-mkcard '" + card.string() +
                            "' --seconds 60 --count 10 --kinds REC --rear yes --no-damaged"
                            " --bitrate 4000 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  const std::uintmax_t bytes = WarmCard(card / "VEX");

  // roadeye-convert on every recording of the card; its runs alternate with the window's, so
  // that both meet the machine in the same state.
  std::vector<double> convertMs;
  auto convert = [&] {
    fs::remove_all(out);
    const double start = NowMs();
    const std::string cmd =
        bin + "/roadeye-convert '" + card.string() + "' '" + out.string() + "' > /dev/null";
    const bool converted = std::system(cmd.c_str()) == 0;
    convertMs.push_back(NowMs() - start);
    return converted;
  };

  if (!wxInitialize(argc, argv)) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }
  DiagSetOutput(nullptr);
  std::vector<double> windowMs;
  double longestGap = 0, pressHeld = 0, idleGap = 0;
  int made = 0;
  {
    auto* window = bench::ShowBenchWindow(card.string(), (work / "config.cfg").string());
    window->PollCard();
    wxListCtrl* list = window->RecordingList();
    for (long row = 0; row < list->GetItemCount(); ++row) list->CheckItem(row, true);
    window->SetFolderDialogRunner([&](const wxString&, const wxString&, wxString* folder) {
      *folder = out.string();
      return true;
    });
    bool reported = false;
    window->SetMessageBox([&](const wxString&, const wxString&, long) {
      reported = true;
      return int(wxID_OK);
    });

    bench::GapWatch watch;
    // The same measure with nothing running, for comparison: what the machine itself costs.
    watch.Watch(true);
    Pump(3000);
    idleGap = watch.Longest();
    for (int run = 0; run < kRuns; ++run) {
      if (!convert()) return 1;
      fs::remove_all(out);
      fs::create_directories(out);
      reported = false;
      Pump(200);
      watch.Watch(true);
      const double start = NowMs();
      wxCommandEvent press(wxEVT_BUTTON, kIdFileDownload);
      window->GetEventHandler()->ProcessEvent(press);
      pressHeld = std::max(pressHeld, NowMs() - start);
      while (!reported && NowMs() - start < 600000) {
        wxTheApp->Yield(true);
        wxTheApp->ProcessIdle();
        wxMilliSleep(1);
      }
      windowMs.push_back(NowMs() - start);
      longestGap = std::max(longestGap, watch.Longest());
    }
    watch.Watch(false);
    made = int(std::distance(fs::directory_iterator(out), fs::directory_iterator{}));
    window->Destroy();
    Pump(200);
  }
  wxUninitialize();

  const double mb = double(bytes) / 1e6;
  std::sort(convertMs.begin(), convertMs.end());
  std::sort(windowMs.begin(), windowMs.end());
  const double convertMedian = convertMs[convertMs.size() / 2] / 1000;
  const double windowMedian = windowMs[windowMs.size() / 2] / 1000;
  std::printf("card: 10 recordings, %.1f MB; %d files made by the window\n", mb, made);
  std::printf("roadeye-convert              median %5.2f s  %6.1f MB/s (%d runs)\n", convertMedian,
              mb / convertMedian, kRuns);
  std::printf("download through the window  median %5.2f s  %6.1f MB/s: %.2f of the converter\n",
              windowMedian, mb / windowMedian, convertMedian / windowMedian);
  std::printf("longest gap between two 5 ms ticks of the window thread while it ran: %.1f ms\n",
              longestGap);
  std::printf("longest hold of the window thread by the FileDownload press: %.1f ms\n", pressHeld);
  std::printf(
      "longest gap between two ticks in 3 s of an idle window (the machine's own): %.1f ms\n",
      idleGap);
  return made == 10 ? 0 : 1;
}
