// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CProgressDlg.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

namespace {

// The dialog's layout in dialog units (a quarter of the font's mean width, an eighth of its
// height), so that it grows with the desktop's font.
struct DialogUnits {
  int x, y, w, h;
};
constexpr DialogUnits kClientUnits{0, 0, 317, 73};
constexpr DialogUnits kNameUnits{5, 5, 310, 8};
constexpr DialogUnits kPicturesUnits{5, 15, 310, 14};
constexpr DialogUnits kRecordingsUnits{5, 35, 310, 14};
constexpr DialogUnits kCancelUnits{265, 55, 50, 14};

}  // namespace

CProgressDlg::CProgressDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "VEX File Download", wxDefaultPosition, wxDefaultSize, wxCAPTION) {
  auto place = [this](const DialogUnits& u) {
    return wxRect(ConvertDialogToPixels(wxPoint(u.x, u.y)),
                  ConvertDialogToPixels(wxSize(u.w, u.h)));
  };
  const wxRect name = place(kNameUnits);
  name_ = new wxStaticText(this, kIdName, "Static", name.GetPosition(), name.GetSize(),
                           wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_MIDDLE);
  const wxRect pictures = place(kPicturesUnits);
  pictures_ = new wxGauge(this, kIdPictures, 100, pictures.GetPosition(), pictures.GetSize());
  const wxRect recordings = place(kRecordingsUnits);
  recordings_ =
      new wxGauge(this, kIdRecordings, 100, recordings.GetPosition(), recordings.GetSize());
  const wxRect cancel = place(kCancelUnits);
  cancel_ = new wxButton(this, kIdCancel, " Cancel", cancel.GetPosition(), cancel.GetSize());
  SetClientSize(ConvertDialogToPixels(wxSize(kClientUnits.w, kClientUnits.h)));
  // Escape is Cancel, as in any dialog; Enter presses nothing else by mistake.
  SetEscapeId(kIdCancel);
  SetAffirmativeId(kIdCancel);
  Bind(wxEVT_BUTTON, &CProgressDlg::OnCancel, this, kIdCancel);
  // The dialog has no close box; closing it any other way (the desktop's menu) is Cancel.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { continue_ = false; });
  CentreOnParent();
}

void CProgressDlg::OnCancel(wxCommandEvent&) { continue_ = false; }
