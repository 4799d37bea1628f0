// What the window benchmarks share: an application object with nothing of its own to set up,
// running the window's events for a while, and the player window they measure.
#pragma once

#include <wx/app.h>
#include <wx/utils.h>

#include <string>

#include "app/CSamplePlayerDlg.h"
#include "bench/BenchClock.h"

namespace bench {

class BenchApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};

// Runs the window's pending events and idle work for ms milliseconds.
inline void Pump(int ms) {
  const double end = NowMs() + ms;
  while (NowMs() < end) {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    wxMilliSleep(2);
  }
}

// Runs the window's events until done() holds or limitMs pass; whether it held.
template <typename Done>
bool PumpUntil(Done done, int limitMs) {
  const double end = NowMs() + limitMs;
  while (!done()) {
    if (NowMs() > end) return false;
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    wxMilliSleep(2);
  }
  return true;
}

// The player window over card, its settings in configPath, shown and settled; it answers every
// message box with OK and polls the card only when told.
inline CSamplePlayerDlg* ShowBenchWindow(const std::string& card, const std::string& configPath) {
  CSamplePlayerDlg::Options options;
  options.cardDir = card;
  options.configPath = configPath;
  options.startCardPoll = false;
  auto* window = new CSamplePlayerDlg(options);
  window->SetMessageBox([](const wxString&, const wxString&, long) { return int(wxID_OK); });
  window->Show();
  Pump(300);
  return window;
}

}  // namespace bench
