// What the player-window tests share: cards written by roadeye-mkcard, a private settings folder,
// a window whose message boxes are answered by the test, and event pumping.
#pragma once

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/utils.h>
#include <wx/weakref.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CSamplePlayerDlg.h"
#include "support/Diag.h"

namespace apptest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) {
    path_ = fs::temp_directory_path() / ("roadeye-app-" + tag + "-" + std::to_string(::getpid()) +
                                         "-" + std::to_string(counter_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string str() const { return path_.string(); }
  fs::path path() const { return path_; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

// Runs roadeye-mkcard on dir with the given options (a card of short recordings large enough to
// be listed); true when it succeeded.
inline bool MakeCard(const std::string& dir, const std::string& options) {
  const std::string command = std::string(ROADEYE_BIN_DIR) + "/roadeye-mkcard '" + dir + "' " +
                              options + " > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Handles the window's events for about ms milliseconds.
inline void Pump(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    wxMilliSleep(5);
  }
}

// Handles events until cond holds; the limit only keeps a broken build from hanging.
inline bool PumpUntil(const std::function<bool()>& cond, int limitMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    wxMilliSleep(5);
  }
  return cond();
}

// The message boxes a window showed, answered with `answer`.
struct Messages {
  std::vector<wxString> texts;
  std::vector<wxString> captions;
  int answer = wxID_YES;
};

// A player window on a card folder, with its settings file in `config` and its message boxes
// recorded instead of shown. The card poll timer is off: tests call PollCard themselves.
class Window {
 public:
  Window(const std::string& cardDir, const std::string& configPath, bool poll = false) {
    DiagSetOutput(nullptr);
    CSamplePlayerDlg::Options options;
    options.cardDir = cardDir;
    options.configPath = configPath;
    options.startCardPoll = poll;
    window_ = new CSamplePlayerDlg(options);
    ref_ = window_;
    window_->SetMessageBox([this](const wxString& text, const wxString& caption, long) {
      messages.texts.push_back(text);
      messages.captions.push_back(caption);
      return messages.answer;
    });
    window_->Show();
    Pump(100);
  }
  ~Window() { Close(); }
  CSamplePlayerDlg* operator->() { return window_; }
  CSamplePlayerDlg* get() { return window_; }
  // Closes the window as the window manager would, and waits until it is gone.
  void Close() {
    if (ref_) {
      ref_->Close(true);
      PumpUntil([&] { return !ref_; }, 10000);
    }
    DiagSetOutput(stdout);
  }
  bool Alive() const { return static_cast<bool>(ref_); }
  Messages messages;

 private:
  CSamplePlayerDlg* window_ = nullptr;
  wxWeakRef<CSamplePlayerDlg> ref_;
};

}  // namespace apptest
