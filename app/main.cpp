// roadeye: the dashcam card viewer.
//
//   roadeye [--card DIR] [--config-dir DIR] [--play] [--full-screen]
//           [--screenshot FILE [--after MS]]
//
// --card names a folder that counts as a removable drive (a card copied to disk, or a card
// written by roadeye-mkcard); --config-dir replaces the per-user settings folder. --play starts
// the first listed recording once the card is seen; --screenshot saves a PNG of the window after
// MS milliseconds (default 4000) and quits, for machines without a screen.
#include <glib-unix.h>
#include <signal.h>
#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CSamplePlayerDlg.h"
#include "platform/Profile.h"

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
  wxString screenshot_;
  long afterMs_ = 4000;
  wxWeakRef<CSamplePlayerDlg> window_;
  wxTimer startTimer_, shotTimer_;
};

wxIMPLEMENT_APP(CSamplePlayerApp);

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
  return G_SOURCE_CONTINUE;
}

void CSamplePlayerApp::Shoot() {
  const wxRect rect = window_->GetScreenRect();
  wxBitmap shot(rect.width, rect.height, 24);
  {
    wxMemoryDC memory(shot);
    wxScreenDC screen;
    memory.Blit(0, 0, rect.width, rect.height, &screen, rect.x, rect.y);
  }
  if (!shot.SaveFile(screenshot_, wxBITMAP_TYPE_PNG)) {
    std::fprintf(stderr, "roadeye: could not write %s\n", screenshot_.utf8_str().data());
  }
  window_->Close(true);
}
