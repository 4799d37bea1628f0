// SPDX-License-Identifier: GPL-3.0-or-later
// What the window benchmarks share: an application object with nothing of its own to set up,
// running the window's events for a while, and the player window they measure.
#pragma once

#include <wx/app.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <algorithm>
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

// How long the window thread goes without handling a 5 ms timer: the longest gap between two
// ticks while watching.
class GapWatch {
 public:
  GapWatch() {
    timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      const double now = NowMs();
      if (watching_) longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    timer_.Start(5);
  }
  // Starts a new measure (the longest gap so far forgotten) or ends it.
  void Watch(bool on) {
    if (on) longest_ = 0;
    last_ = NowMs();
    watching_ = on;
  }
  double Longest() const { return longest_; }

 private:
  wxTimer timer_;
  double last_ = 0, longest_ = 0;
  bool watching_ = false;
};

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
