// roadeye: the dashcam card viewer.
//
//   roadeye [--card DIR] [--config-dir DIR] [--play] [--full-screen]
//           [--full-screen-at MS] [--back-at MS] [--screenshot FILE [--after MS]]
//
// --card names a folder that counts as a removable drive (a card copied to disk, or a card
// written by roadeye-mkcard); --config-dir replaces the per-user settings folder. --play starts
// the first listed recording once the card is seen; --screenshot saves a PNG of the window after
// MS milliseconds (default 4000) and quits, for machines without a screen; the window draws the
// picture itself, so it works on X11 and on Wayland alike. --full-screen-at and --back-at go to the
// full-screen layout and back to the window at those times (demonstrations and tests).
#include <glib-unix.h>
#include <signal.h>
#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CSamplePlayerDlg.h"
#include "app/Desktop.h"
#include "platform/Profile.h"
#include "support/Diag.h"

#ifndef ROADEYE_VERSION
#define ROADEYE_VERSION "0"
#endif

class CSamplePlayerApp : public wxApp {
 public:
  bool OnInit() override;
  void OnInitCmdLine(wxCmdLineParser& parser) override;
  bool OnCmdLineParsed(wxCmdLineParser& parser) override;
  // --help and --version answer and end the program successfully.
  bool OnCmdLineHelp(wxCmdLineParser& parser) override {
    parser.Usage();
    std::exit(0);
  }

 private:
  void Shoot();
  // SIGTERM (a desktop logging out, `kill`), SIGINT and SIGHUP end the viewer the way the close
  // box's Yes does: settings saved, playback stopped, every thread joined. GLib hands the signal
  // to the window thread's main loop, where it is safe to act on.
  void WatchEndSignals();
  static gboolean OnEndSignal(gpointer self);

  CSamplePlayerDlg::Options options_;
  bool play_ = false;
  bool fullScreen_ = false;
  long fullScreenAtMs_ = -1;
  long backAtMs_ = -1;
  wxString screenshot_;
  long afterMs_ = 4000;
  wxWeakRef<CSamplePlayerDlg> window_;
  wxTimer startTimer_, shotTimer_, fullScreenTimer_, backTimer_;
  int shotWaits_ = 0;         // times the screenshot waited for the window's layout
  bool settledShot_ = false;  // the wait after the layout settled has been made
  bool framedShot_ = false;   // a frame of the toolkit's has run since the layout settled
  bool shotTaken_ = false;
};

wxIMPLEMENT_APP_NO_MAIN(CSamplePlayerApp);

int main(int argc, char** argv) {
  // Before the toolkit opens its display.
  ChooseDisplayBackend();
  return wxEntry(argc, argv);
}

void CSamplePlayerApp::OnInitCmdLine(wxCmdLineParser& parser) {
  static const wxCmdLineEntryDesc kOptions[] = {
      {wxCMD_LINE_SWITCH, "h", "help", "show this help and exit", wxCMD_LINE_VAL_NONE,
       wxCMD_LINE_OPTION_HELP},
      {wxCMD_LINE_SWITCH, nullptr, "version", "show the version and exit", wxCMD_LINE_VAL_NONE, 0},
      {wxCMD_LINE_OPTION, nullptr, "card", "a folder that counts as the camera's card",
       wxCMD_LINE_VAL_STRING, 0},
      {wxCMD_LINE_OPTION, nullptr, "config-dir", "where the viewer keeps its settings",
       wxCMD_LINE_VAL_STRING, 0},
      {wxCMD_LINE_SWITCH, nullptr, "play", "play the first recording of the card",
       wxCMD_LINE_VAL_NONE, 0},
      {wxCMD_LINE_SWITCH, nullptr, "full-screen", "start in the full-screen layout",
       wxCMD_LINE_VAL_NONE, 0},
      {wxCMD_LINE_OPTION, nullptr, "full-screen-at", "go full screen after MS milliseconds",
       wxCMD_LINE_VAL_NUMBER, 0},
      {wxCMD_LINE_OPTION, nullptr, "back-at", "back to the window after MS milliseconds",
       wxCMD_LINE_VAL_NUMBER, 0},
      {wxCMD_LINE_OPTION, nullptr, "screenshot", "save a PNG of the window, then quit",
       wxCMD_LINE_VAL_STRING, 0},
      {wxCMD_LINE_OPTION, nullptr, "after", "milliseconds before the screenshot (4000)",
       wxCMD_LINE_VAL_NUMBER, 0},
      {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0}};
  parser.SetDesc(kOptions);
  parser.SetLogo("Roadeye " ROADEYE_VERSION ": a viewer for dash camera memory cards");
}

bool CSamplePlayerApp::OnCmdLineParsed(wxCmdLineParser& parser) {
  if (parser.Found("version")) {
    std::printf("roadeye %s\n", ROADEYE_VERSION);
    std::exit(0);
  }
  wxString value;
  if (parser.Found("card", &value)) options_.cardDir = value.ToStdString();
  if (parser.Found("config-dir", &value)) SetUserConfigDir(value.ToStdString());
  play_ = parser.Found("play");
  fullScreen_ = parser.Found("full-screen");
  parser.Found("full-screen-at", &fullScreenAtMs_);
  parser.Found("back-at", &backAtMs_);
  parser.Found("screenshot", &screenshot_);
  parser.Found("after", &afterMs_);
  return true;
}

bool CSamplePlayerApp::OnInit() {
  if (!wxApp::OnInit()) return false;
  wxInitAllImageHandlers();
  window_ = new CSamplePlayerDlg(options_);
  window_->Show();
  SetTopWindow(window_);
  WatchEndSignals();
  if (fullScreen_) window_->ToggleFullScreen(false);
  if (play_) {
    startTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (!window_) return;
      if (window_->RecordingList()->GetItemCount() == 0) return;  // the card poll has not run yet
      startTimer_.Stop();
      window_->PlayNext();
    });
    startTimer_.Start(200);
  }
  DiagPrintf("Display: %s\n", OnWaylandDisplay() ? "Wayland" : "X11");
  if (fullScreenAtMs_ >= 0) {
    fullScreenTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (window_ && window_->LayoutMode() == kLayoutNormal) window_->ToggleFullScreen(false);
    });
    fullScreenTimer_.StartOnce(static_cast<int>(fullScreenAtMs_));
  }
  if (backAtMs_ >= 0) {
    backTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (window_ && window_->LayoutMode() == kLayoutFullScreen) window_->ToggleFullScreen(true);
    });
    backTimer_.StartOnce(static_cast<int>(backAtMs_));
  }
  if (!screenshot_.empty()) {
    shotTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Shoot(); });
    shotTimer_.StartOnce(static_cast<int>(afterMs_));
  }
  return true;
}

void CSamplePlayerApp::WatchEndSignals() {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) g_unix_signal_add(signal, &OnEndSignal, this);
}

gboolean CSamplePlayerApp::OnEndSignal(gpointer self) {
  auto* app = static_cast<CSamplePlayerApp*>(self);
  if (app->window_) app->window_->EndSession();
  // The window is deleted when the toolkit next goes idle; a signal is no toolkit event, and
  // with nothing playing no other event may come to get there.
  wxWakeUpIdle();
  return G_SOURCE_CONTINUE;
}

void CSamplePlayerApp::Shoot() {
  if (!window_) return;
  // The picture waits for the window's layout: right after leaving full screen the compositor
  // may still hold the maximised size, longer on a busy machine. Once it has settled, the panes
  // get a moment to show a picture at their new size.
  if (window_->LayoutSettling() || WindowAllocationPending(window_)) {
    if (shotWaits_++ < 200) {
      settledShot_ = false;
      framedShot_ = false;
      shotTimer_.StartOnce(50);
      return;
    }
  } else if (shotWaits_ > 0 && !settledShot_) {
    settledShot_ = true;
    shotTimer_.StartOnce(500);
    return;
  }
  // One frame of the toolkit's first: a control that asked for a new size (the map shown, a
  // pane placed) gets it before the window is drawn.
  if (!framedShot_) {
    framedShot_ = true;
    AfterNextFrame(window_, [this] { Shoot(); });
    shotTimer_.StartOnce(1000);  // a window the toolkit does not paint (minimised) all the same
    return;
  }
  if (shotTaken_) return;
  shotTaken_ = true;
  shotTimer_.Stop();
  if (!SaveWindowPicture(window_, screenshot_.utf8_string())) {
    std::fprintf(stderr, "roadeye: could not write %s\n", screenshot_.utf8_str().data());
  }
  window_->Close(true);
}
