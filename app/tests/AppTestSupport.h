// SPDX-License-Identifier: GPL-3.0-or-later
// What the player-window tests share: cards written by roadeye-mkcard, a private settings folder,
// a window whose message boxes are answered by the test, and event pumping.
#pragma once

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/utils.h>
#include <wx/weakref.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/CSamplePlayerDlg.h"
#include "map/gui/CMapView.h"
#include "skin/CBitmapSlider.h"
#include "skin/CxSkinButton.h"
#include "skin/SkinEvents.h"
#include "skin/testing/Screen.h"
#include "support/Diag.h"
#include "support/testing/TempDir.h"

namespace apptest {

namespace fs = std::filesystem;

using TempDir = roadeye_test::TempDir;

// Runs roadeye-mkcard on dir with the given options (a card of short recordings large enough to
// be listed); true when it succeeded.
inline bool MakeCard(const std::string& dir, const std::string& options) {
  const std::string command = std::string(ROADEYE_BIN_DIR) + "/roadeye-mkcard '" + dir + "' " +
                              options + " > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A card written once for a test suite (SetUpTestSuite) and removed after it (TearDownTestSuite).
class SuiteCard {
 public:
  void Make(const std::string& tag, const std::string& options) {
    dir_ = std::make_unique<TempDir>(tag);
    made_ = MakeCard(dir_->str(), options);
  }
  void Remove() { dir_.reset(); }
  bool Made() const { return made_; }
  std::string str() const { return dir_ ? dir_->str() : std::string(); }

 private:
  std::unique_ptr<TempDir> dir_;
  bool made_ = false;
};

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
  Window(const std::string& cardDir, const std::string& configPath, bool poll = false)
      : Window(Options(cardDir, configPath, poll)) {}
  explicit Window(const CSamplePlayerDlg::Options& options) {
    DiagSetOutput(nullptr);
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
  static CSamplePlayerDlg::Options Options(const std::string& cardDir,
                                           const std::string& configPath, bool poll = false) {
    CSamplePlayerDlg::Options options;
    options.cardDir = cardDir;
    options.configPath = configPath;
    options.startCardPoll = poll;
    return options;
  }
  Messages messages;

 private:
  CSamplePlayerDlg* window_ = nullptr;
  wxWeakRef<CSamplePlayerDlg> ref_;
};

// The user's gestures, delivered the way the controls deliver them.
// A click on a button of the window (its command event, from the button).
inline void Click(CSamplePlayerDlg* w, int id) {
  wxWindow* control = w->FindControl(id);
  wxCommandEvent event(wxEVT_BUTTON, id);
  event.SetEventObject(control);
  control->GetEventHandler()->ProcessEvent(event);
}

// A bitmap slider released at `pos`: the position is set and the change message posted to the
// window, as the slider does when its thumb is let go.
inline void ReleaseSliderAt(CSamplePlayerDlg* w, int id, int pos) {
  auto* slider = dynamic_cast<CBitmapSlider*>(w->FindControl(id));
  slider->SetPos(pos);
  auto* event = new wxCommandEvent(EVT_SLIDER_CHANGE_MSG, id);
  event->SetInt(slider->GetPos());
  wxQueueEvent(w->GetEventHandler(), event);
  Pump(50);
}

// A check box of the window clicked into the state `ticked` (it toggles itself, then tells the
// window). Works for the plain check box and for the skinned one.
inline void ClickCheckBox(CSamplePlayerDlg* w, int id, bool ticked) {
  wxWindow* control = w->FindControl(id);
  if (auto* box = dynamic_cast<wxCheckBox*>(control)) box->SetValue(ticked);
  if (auto* skin = dynamic_cast<CxSkinButton*>(control)) skin->SetCheck(ticked);
  wxCommandEvent event(wxEVT_CHECKBOX, id);
  event.SetEventObject(control);
  event.SetInt(ticked ? 1 : 0);
  control->GetEventHandler()->ProcessEvent(event);
}

// A double click on a row of the recording list.
inline void DoubleClickRow(CSamplePlayerDlg* w, long row) {
  wxListCtrl* list = w->RecordingList();
  wxListEvent event(wxEVT_LIST_ITEM_ACTIVATED, list->GetId());
  event.SetEventObject(list);
  event.SetIndex(row);
  list->GetEventHandler()->ProcessEvent(event);
}

// The map page is never loaded from the network in tests.
inline void KeepMapOffline(CSamplePlayerDlg* w) {
  if (auto* map = dynamic_cast<CMapView*>(w->FindControl(kIdMapView))) {
    map->SetNetworkCheck([] { return false; });
  }
}

// A command's standard output (its errors dropped).
inline std::string Output(const std::string& command) {
  std::string out;
  if (std::FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// A whole file as bytes.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of one cell of the recording list.
inline std::string Cell(CSamplePlayerDlg* w, long row, int column) {
  return w->RecordingList()->GetItemText(row, column).ToStdString();
}

// Pixel comparisons, shared with the screen tests.
using screentest::MeanDifference;
using screentest::MeanLevel;

}  // namespace apptest
