// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CZoomDlg.h"

#include <wx/dcbuffer.h>
#include <wx/dcmemory.h>
#include <wx/sizer.h>
#include <wx/toplevel.h>

#include <algorithm>
#include <cstring>

#include "app/Desktop.h"
#include "resources/SkinImages.h"
#include "resources/core/StringTable.h"
#include "support/Diag.h"

namespace {

constexpr int kTimerZoom = 100;

}  // namespace

const wxColour CZoomDlg::kOwnArea(150, 150, 150);

Place ZoomSourceRect(int px, int py, int cw, int ch, int factor, int screenWidth,
                     int screenHeight) {
  const int f = std::max(1, factor);
  const int sw = std::max(0, cw) / f;
  const int sh = std::max(0, ch) / f;
  int sx = std::max(0, px - sw / 2);
  int sy = std::max(0, py - sh / 2);
  if (sx + sw > screenWidth) sx = screenWidth - sw;
  if (sy + sh > screenHeight) sy = screenHeight - sh;
  return Place{sx, sy, sw, sh};
}

int CZoomDlg::PointerWatch::FilterEvent(wxEvent& event) {
  const wxEventType type = event.GetEventType();
  if (type == wxEVT_MOTION || type == wxEVT_ENTER_WINDOW) {
    auto& mouse = static_cast<wxMouseEvent&>(event);
    if (auto* w = dynamic_cast<wxWindow*>(event.GetEventObject())) {
      window = w;
      screen = w->ClientToScreen(mouse.GetPosition());
    }
  }
  return Event_Skip;
}

CZoomDlg::CZoomDlg(wxTopLevelWindow* viewer, PictureSource pictures)
    : wxDialog(nullptr, wxID_ANY, "Zoom", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      viewer_(viewer),
      pictures_(std::move(pictures)),
      screen_(std::make_unique<ScreenReader>()),
      timer_(this, kTimerZoom) {
  SetIcons(LoadAppIconBundle());
  canvas_ = new wxWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxWANTS_CHARS);
  canvas_->SetBackgroundStyle(wxBG_STYLE_PAINT);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(canvas_, 1, wxEXPAND);
  SetSizer(sizer);
  if (!screen_->Available()) {
    // A Wayland session lets no program read the screen: the viewer's own window is what can be
    // enlarged, and the title says so.
    SetTitle(
        wxString::FromUTF8(DisplayText(BilingualText(kStrZoomOwnWindowKo, kStrZoomOwnWindowEn))));
    wxEvtHandler::AddFilter(&watch_);
  }
  canvas_->Bind(wxEVT_PAINT, &CZoomDlg::OnPaint, this);
  Bind(wxEVT_CLOSE_WINDOW, &CZoomDlg::OnClose, this);
  Bind(wxEVT_CHAR_HOOK, &CZoomDlg::OnCharHook, this);
  Bind(
      wxEVT_TIMER, [this](wxTimerEvent&) { MagnifyTick(); }, kTimerZoom);
  SetSize(kPlace.x, kPlace.y, kPlace.w, kPlace.h);
  canvas_->SetFocus();
  timer_.Stop();
  DiagPrintf("OnInitDialog()\n");
  timer_.Start(kTickMs);
}

CZoomDlg::~CZoomDlg() {
  DiagPrintf("OnDestroy()\r\n");
  timer_.Stop();
  if (!screen_->Available()) wxEvtHandler::RemoveFilter(&watch_);
}

void CZoomDlg::StopAndHide() {
  timer_.Stop();
  Hide();
}

void CZoomDlg::OnClose(wxCloseEvent&) {
  // The window is hidden; the next press of the zoom button makes a new one.
  StopAndHide();
}

void CZoomDlg::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() != WXK_ESCAPE) {
    event.Skip();
    return;
  }
  DiagPrintf("VK_ESCAPE\n");
  StopAndHide();
}

void CZoomDlg::MagnifyTick() {
  const wxSize client = GetClientSize();
  if (client.x <= 0 || client.y <= 0) return;
  bool filled = false;
  int px = 0, py = 0;
  const bool pointer = screen_->Available() ? screen_->Pointer(&px, &py)
                                            : (watch_.screen.x >= 0 && watch_.screen.y >= 0);
  if (!screen_->Available()) {
    px = watch_.screen.x;
    py = watch_.screen.y;
  }
  // Over a picture pane: the camera's own picture. Not over this window itself.
  if (pointer && pictures_ && !GetScreenRect().Contains(px, py)) {
    switch (pictures_(wxPoint(px, py), client, &view_)) {
      case Found::kPicture:
        filled = true;
        break;
      case Found::kNoPicture:
        ShowNoPicture(client);
        filled = true;
        break;
      case Found::kNoPane:
        break;
    }
  }
  if (!filled) {
    filled = screen_->Available() ? FromScreen(px, py, client) : FromViewer(client);
  }
  if (!filled) return;
  shown_ = wxBitmap(view_);
  canvas_->Refresh(false);
}

bool CZoomDlg::FromScreen(int px, int py, const wxSize& client) {
  int screenWidth = 0, screenHeight = 0;
  if (!screen_->ScreenSize(&screenWidth, &screenHeight)) return false;
  const Place src =
      ZoomSourceRect(px, py, client.x, client.y, kZoomFactor, screenWidth, screenHeight);
  if (src.w <= 0 || src.h <= 0 || !screen_->Read(src.x, src.y, src.w, src.h, &source_)) {
    return false;
  }
  // This window's own area, where it lies in the source, is shown flat grey.
  const wxRect own =
      wxRect(ClientToScreen(wxPoint(0, 0)), client).Intersect(wxRect(src.x, src.y, src.w, src.h));
  for (int y = own.y; y < own.GetBottom() + 1 && !own.IsEmpty(); ++y) {
    unsigned char* row = source_.data() + (std::size_t(y - src.y) * src.w + (own.x - src.x)) * 3;
    for (int x = 0; x < own.width; ++x, row += 3) {
      row[0] = kOwnArea.Red();
      row[1] = kOwnArea.Green();
      row[2] = kOwnArea.Blue();
    }
  }
  // A view of the source buffer, stretched onto the whole client area pixel by pixel.
  const wxImage part(src.w, src.h, source_.data(), true);
  view_ = part.Scale(client.x, client.y, wxIMAGE_QUALITY_NORMAL);
  return true;
}

bool CZoomDlg::FromViewer(const wxSize& client) {
  if (viewer_ == nullptr || watch_.screen.x < 0) return false;
  wxImage window;
  if (!DrawWindowPicture(viewer_, &window)) return false;
  const wxPoint at = viewer_->ScreenToClient(watch_.screen);
  const Place src = ZoomSourceRect(at.x, at.y, client.x, client.y, kZoomFactor, window.GetWidth(),
                                   window.GetHeight());
  if (src.w <= 0 || src.h <= 0) return false;
  view_ = window.GetSubImage(wxRect(src.x, src.y, src.w, src.h))
              .Scale(client.x, client.y, wxIMAGE_QUALITY_NORMAL);
  return true;
}

void CZoomDlg::ShowNoPicture(const wxSize& client) {
  wxBitmap bitmap(client.x, client.y, 24);
  {
    wxMemoryDC dc(bitmap);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    dc.SetTextForeground(*wxWHITE);
    dc.SetFont(GetFont());
    const wxString text =
        wxString::FromUTF8(DisplayText(BilingualText(kStrNoPictureYetKo, kStrNoPictureYetEn)));
    const wxSize extent = dc.GetTextExtent(text);
    dc.DrawText(text, (client.x - extent.x) / 2, (client.y - extent.y) / 2);
  }
  view_ = bitmap.ConvertToImage();
}

void CZoomDlg::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(canvas_);
  if (IsIconized() || !shown_.IsOk()) {
    dc.SetBackground(wxBrush(kOwnArea));
    dc.Clear();
    return;
  }
  dc.DrawBitmap(shown_, 0, 0);
}
