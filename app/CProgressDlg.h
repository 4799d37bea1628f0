// SPDX-License-Identifier: GPL-3.0-or-later
// The file download's progress dialog: the name of the recording being converted, a bar of its
// pictures (1030), a bar of the recordings (1031) and Cancel (1019). Made hidden with the player
// window as its parent and shown while a download runs; it never blocks the window (modeless).
#pragma once

#include <wx/dialog.h>

#include <atomic>

class wxGauge;
class wxStaticText;
class wxButton;

class CProgressDlg : public wxDialog {
 public:
  // Control ids of the dialog.
  static constexpr int kIdName = 1032;
  static constexpr int kIdPictures = 1030;
  static constexpr int kIdRecordings = 1031;
  static constexpr int kIdCancel = 1019;

  explicit CProgressDlg(wxWindow* parent);

  // The continue flag: true until Cancel is pressed; read by the download's thread.
  bool ShouldContinue() const { return continue_.load(); }
  void SetContinue(bool value) { continue_ = value; }

  wxStaticText* NameText() const { return name_; }
  wxGauge* PictureBar() const { return pictures_; }
  wxGauge* RecordingBar() const { return recordings_; }
  wxButton* CancelButton() const { return cancel_; }

 private:
  void OnCancel(wxCommandEvent& event);

  std::atomic<bool> continue_{true};
  wxStaticText* name_ = nullptr;
  wxGauge* pictures_ = nullptr;
  wxGauge* recordings_ = nullptr;
  wxButton* cancel_ = nullptr;
};
