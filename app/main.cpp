// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye: the dashcam card viewer.
//
//   roadeye [--card DIR] [--config-dir DIR] [--language en|ko] [--decoder software|auto]
//           [--play] [--trips] [--full-screen] [--full-screen-at MS] [--back-at MS]
//           [--screenshot FILE [--after MS]]
//   roadeye [OPTION]... CARD_DIR | FILE...
//   roadeye --help | --version
//
// --card names a folder that counts as a removable drive (a card copied to disk, or a card
// written by roadeye-mkcard); --config-dir replaces the per-user settings folder; --language
// chooses English or Korean texts over config.cfg's "language" key, for this run only (it is not
// saved). --decoder software keeps the decoding of the pictures on the processor; auto (the
// default) decodes them on the graphics card through VA-API or CUDA where it can, in software
// otherwise. --play starts the first listed recording once the card is seen; --trips shows the
// card's trips in the list instead (with --play, the first trip plays); --screenshot saves a
// PNG of the window after MS milliseconds (default 4000) and quits, for machines without a
// screen; the window draws the picture itself, so it works on X11 and on Wayland alike.
// --full-screen-at and --back-at go to the full-screen layout and back to the window at those
// times (demonstrations and tests).
//
// The command line is read before the toolkit starts, so that --help, --version and a wrong
// option answer the GNU way without a display: text on standard output and status 0 for the
// first two, a short error on standard error and status 2 for the last.
#include <glib-unix.h>
#include <signal.h>
#include <wx/app.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/CSamplePlayerDlg.h"
#include "app/Desktop.h"
#include "app/ProcessMemory.h"
#include "app/ViewerConfig.h"
#include "platform/Profile.h"
#include "playback/HardwareDecoding.h"
#include "support/Diag.h"
#include "support/ProgramInfo.h"

namespace {

// What the command line asked for.
struct StartRequest {
  CSamplePlayerDlg::Options options;
  bool play = false;
  bool trips = false;
  bool fullScreen = false;
  long fullScreenAtMs = -1;
  long backAtMs = -1;
  std::string screenshot;
  long afterMs = 4000;
};

StartRequest gRequest;
// The screenshot asked for could not be written (the program's status is then 1).
bool gScreenshotFailed = false;

// One option: its long name, what its value is called (nullptr for a switch) and its line of help.
struct OptionDesc {
  const char* name;
  const char* value;
  const char* help;
};

constexpr OptionDesc kOptions[] = {
    {"card", "DIR", "a folder that counts as the camera's memory card"},
    {"config-dir", "DIR", "where the viewer keeps its settings (config.cfg)"},
    {"language", "en|ko", "English or Korean texts, over config.cfg's \"language\" (not saved)"},
    {"decoder", "software|auto", "auto (the default) decodes on the graphics card where it can"},
    {"play", nullptr, "play the first recording of the card"},
    {"trips", nullptr, "list the card's trips (with --play, play the first)"},
    {"full-screen", nullptr, "start in the full-screen layout"},
    {"full-screen-at", "MS", "go full screen after MS milliseconds"},
    {"back-at", "MS", "back to the window after MS milliseconds"},
    {"screenshot", "FILE", "save a PNG picture of the window, then quit"},
    {"after", "MS", "milliseconds before the screenshot (default 4000)"},
    {"help", nullptr, "show this help and exit"},
    {"version", nullptr, "show the version and exit"},
};

void PrintHelp() {
  std::printf(
      "Usage: roadeye [OPTION]... [CARD_FOLDER | RECORDING_FILE...]\n"
      "Shows the recordings of a dash camera's memory card: its cameras, sound, the route on\n"
      "a map and the G-sensor graph. A folder given is the card (as --card); files given are\n"
      "listed on their own.\n\n");
  for (const OptionDesc& o : kOptions) {
    std::string left = std::string("--") + o.name;
    if (o.value != nullptr) left += std::string(" ") + o.value;
    if (std::strcmp(o.name, "help") == 0) left = "-h, " + left;
    std::printf("  %-24s %s\n", left.c_str(), o.help);
  }
  std::printf(
      "\nExit status: 0 when the window was closed or a screenshot saved, 1 when the screenshot\n"
      "could not be written, 2 for a wrong command line.\n"
      "%s\n",
      kRoadeyeBugReport);
}

[[noreturn]] void CommandLineError(const std::string& message) {
  std::fprintf(stderr, "roadeye: %s\nTry 'roadeye --help' for more information.\n",
               message.c_str());
  std::exit(2);
}

long Milliseconds(const std::string& option, const std::string& text) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 0 || value > 24L * 3600 * 1000) {
    CommandLineError("option '--" + option + "' needs a number of milliseconds, not '" + text +
                     "'");
  }
  return value;
}

// A folder or a recording file named on the command line: one folder is the card; files are
// listed as recordings of their own. Anything else, or a folder with files, is a wrong command
// line.
void AddPlace(const std::string& place) {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::absolute(place, error).lexically_normal();
  if (error || !std::filesystem::exists(path, error)) {
    CommandLineError("cannot open '" + place + "': no such file or folder");
  }
  if (std::filesystem::is_directory(path, error)) {
    if (!gRequest.options.cardDir.empty() || !gRequest.options.files.empty()) {
      CommandLineError("give one card folder, or recording files, not both");
    }
    std::string dir = path.string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    gRequest.options.cardDir = dir;
    return;
  }
  if (!std::filesystem::is_regular_file(path, error)) {
    CommandLineError("cannot open '" + place + "': not a folder or a file");
  }
  if (!gRequest.options.cardDir.empty()) {
    CommandLineError("give one card folder, or recording files, not both");
  }
  gRequest.options.files.push_back(path.string());
}

// Reads argv into gRequest; answers --help and --version and ends the program on them or on a
// wrong option.
void ReadCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h") {
      PrintHelp();
      std::exit(0);
    }
    if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
      CommandLineError("invalid option -- '" + std::string(arg.substr(1)) + "'");
    }
    if (arg.substr(0, 2) != "--" || arg.size() == 2) {
      AddPlace(std::string(arg == "--" && i + 1 < argc ? argv[++i] : argv[i]));
      continue;
    }
    std::string name(arg.substr(2));
    std::string value;
    bool hasValue = false;
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    const OptionDesc* desc = nullptr;
    for (const OptionDesc& o : kOptions) {
      if (name == o.name) desc = &o;
    }
    if (desc == nullptr) CommandLineError("unrecognized option '--" + name + "'");
    if (desc->value == nullptr && hasValue) {
      CommandLineError("option '--" + name + "' doesn't allow an argument");
    }
    if (desc->value != nullptr && !hasValue) {
      if (i + 1 >= argc) CommandLineError("option '--" + name + "' requires an argument");
      value = argv[++i];
    }
    if (name == "help") {
      PrintHelp();
      std::exit(0);
    } else if (name == "version") {
      PrintProgramVersion(stdout, "roadeye");
      std::exit(0);
    } else if (name == "card") {
      gRequest.options.cardDir = value;
    } else if (name == "config-dir") {
      SetUserConfigDir(value);
    } else if (name == "language") {
      gRequest.options.language = LanguageFromName(value);
      if (gRequest.options.language == 0) {
        CommandLineError("option '--language' takes en or ko, not '" + value + "'");
      }
    } else if (name == "decoder") {
      if (!ParseDecoderChoice(value, &gRequest.options.decoder)) {
        CommandLineError("option '--decoder' takes software or auto, not '" + value + "'");
      }
    } else if (name == "play") {
      gRequest.play = true;
    } else if (name == "trips") {
      gRequest.trips = true;
    } else if (name == "full-screen") {
      gRequest.fullScreen = true;
    } else if (name == "full-screen-at") {
      gRequest.fullScreenAtMs = Milliseconds(name, value);
    } else if (name == "back-at") {
      gRequest.backAtMs = Milliseconds(name, value);
    } else if (name == "screenshot") {
      gRequest.screenshot = value;
    } else if (name == "after") {
      gRequest.afterMs = Milliseconds(name, value);
    }
  }
}

}  // namespace

class CSamplePlayerApp : public wxApp {
 public:
  bool OnInit() override;
  // The command line has been read in main; the toolkit sees none of it.
  void OnInitCmdLine(wxCmdLineParser&) override {}
  bool OnCmdLineParsed(wxCmdLineParser&) override { return true; }

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
  ReadCommandLine(argc, argv);
  // Before the toolkit opens its display.
  ChooseDisplayBackend();
  BeginLeanStart();
  char* programOnly[] = {argv[0], nullptr};
  int toolkitArgc = 1;
  const int status = wxEntry(toolkitArgc, programOnly);
  return status != 0 ? status : gScreenshotFailed ? 1 : 0;
}

bool CSamplePlayerApp::OnInit() {
  if (!wxApp::OnInit()) return false;
  EndLeanStart();
  options_ = gRequest.options;
  play_ = gRequest.play;
  fullScreen_ = gRequest.fullScreen;
  fullScreenAtMs_ = gRequest.fullScreenAtMs;
  backAtMs_ = gRequest.backAtMs;
  screenshot_ = wxString::FromUTF8(gRequest.screenshot);
  afterMs_ = gRequest.afterMs;
  wxInitAllImageHandlers();
  window_ = new CSamplePlayerDlg(options_);
  window_->Show();
  SetTopWindow(window_);
  WatchEndSignals();
  if (fullScreen_) window_->ToggleFullScreen(false);
  if (play_ || gRequest.trips) {
    startTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (!window_) return;
      if (gRequest.trips) {
        // The card poll must have seen the card, and the trips must have been found.
        if (!window_->TripsListed()) {
          if (window_->RecordingList()->GetItemCount() > 0) window_->ShowTrips();
          return;
        }
        if (window_->RecordingList()->GetItemCount() == 0) return;
      } else if (window_->RecordingList()->GetItemCount() == 0) {
        return;  // the card poll has not run yet
      }
      startTimer_.Stop();
      if (play_) window_->PlayNext();
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
    gScreenshotFailed = true;
  }
  window_->Close(true);
}
